// Not yet built: answers QX_ERR_INTERNAL until its room lands.
#include "qx_ai.h"

#include "api/guard.h"
#include "support/log.h"

int LearnFromPicData(void) {
    return qx_guarded("LearnFromPicData", QX_ERR_INTERNAL, [] {
        logger->info("LearnFromPicData is not available in this build");
        return QX_ERR_INTERNAL;
    });
}
