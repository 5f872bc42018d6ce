// Not yet built: answers QX_ERR_INTERNAL until its room lands.
#include "qx_ai.h"

#include "api/guard.h"
#include "support/log.h"

int AutoDetect(char* codes_out, char* session_out) {
    return qx_guarded("AutoDetect", QX_ERR_INTERNAL, [] {
        logger->info("AutoDetect is not available in this build");
        return QX_ERR_INTERNAL;
    });
}

int TestDetect(const char* picture_path, char* codes_out, char* session_out) {
    return qx_guarded("TestDetect", QX_ERR_INTERNAL, [] {
        logger->info("TestDetect is not available in this build");
        return QX_ERR_INTERNAL;
    });
}
