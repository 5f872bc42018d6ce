// Not yet built: answers QX_ERR_INTERNAL until its room lands.
#include "qx_ai.h"

#include "api/guard.h"
#include "support/log.h"

int findcode(const char* text, const char* unused, char* out) {
    return qx_guarded("findcode", QX_ERR_INTERNAL, [] {
        logger->info("findcode is not available in this build");
        return QX_ERR_INTERNAL;
    });
}
