// Not yet built: answers QX_ERR_INTERNAL until its room lands.
#include "qx_ai.h"

#include "api/guard.h"
#include "support/log.h"

int InitPos(const char* tenant_code, const char* pos_code, const char* sn_code) {
    return qx_guarded("InitPos", QX_ERR_INTERNAL, [] {
        logger->info("InitPos is not available in this build");
        return QX_ERR_INTERNAL;
    });
}

int UnbindPos(const char* tenant_code, const char* sn_code) {
    return qx_guarded("UnbindPos", QX_ERR_INTERNAL, [] {
        logger->info("UnbindPos is not available in this build");
        return QX_ERR_INTERNAL;
    });
}
