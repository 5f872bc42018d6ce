// Binding the device to a tenant of the cloud back end, and unbinding it.
#include "qx_ai.h"

#include "api/gate.h"
#include "cloud/cloud.h"

int InitPos(const char* tenant_code, const char* pos_code, const char* sn_code) {
    return qx_gated("InitPos", QX_ERR_INTERNAL, QxAccess::kReady, {tenant_code, pos_code, sn_code},
                      [&] { return Cloud::cloud_initpos(tenant_code, pos_code, sn_code); });
}

int UnbindPos(const char* tenant_code, const char* sn_code) {
    return qx_gated("UnbindPos", QX_ERR_INTERNAL, QxAccess::kReady, {tenant_code, sn_code}, [&] { return Cloud::cloud_unbindpos(tenant_code, sn_code); });
}
