// Not yet built: answers QX_ERR_INTERNAL until its room lands.
#include "qx_ai.h"

#include "api/guard.h"
#include "support/log.h"

int SetFeedBack(const char* code, const char* session_id, unsigned char hit, const char* product_name) {
    return qx_guarded("SetFeedBack", QX_ERR_INTERNAL, [] {
        logger->info("SetFeedBack is not available in this build");
        return QX_ERR_INTERNAL;
    });
}
