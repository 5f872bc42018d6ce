// Binding the device to a tenant of the cloud back end, and unbinding it: the
// cloud answers, this file keeps the answer (context fields and files).
#include "api/binding.h"

#include "qx_ai.h"

#include "api/context.h"
#include "api/gate.h"
#include "cloud/cloud.h"
#include "support/json.h"
#include "support/log.h"
#include "support/tools.h"

#include <rapidjson/document.h>
#include <rapidjson/pointer.h>

#include <unistd.h>

#include <mutex>

namespace {

// Around tenant_code and pos_id once Init has read them, and the binding files:
// a bind writes them under the shared state lock while a feedback reads the
// tenant for its URLs, so a reader could see a tenant half replaced.
std::mutex g_binding_mutex;

std::string text_of(const char* text) { return text ? std::string(text) : std::string(); }

// Copied under the state lock, so that the requests run without it: Close must
// not wait for a cloud time-out.
CLOUD_ENDPOINTS endpoints_of(const DB_HADNLE& context) {
    return {context.dev, context.url_query_tenant, context.url_bind, context.url_unbind};
}

// Both binding files or neither: a bind whose files are not on disk would be
// lost at the next start while the caller believes it stored.
bool store_binding(const DB_HADNLE& context, const std::string& tenant, const std::string& pos_id) {
    std::string previous, why;
    const bool had_tenant = tool_read_small_file(context.json_tenant_path, kJsonFileLimit, previous, why);
    if (!tenant.empty() && Storage("/demo", tenant, context.json_tenant_path) != 0) return false;
    if (Storage("/posId", pos_id, context.json_posid_path) == 0) return true;
    if (!tenant.empty()) {
        const bool restored = had_tenant ? tool_write_file_atomic(context.json_tenant_path, previous)
                                         : unlink(context.json_tenant_path.c_str()) == 0;
        if (!restored) logger->info("Storage could not restore {}", context.json_tenant_path);
    }
    return false;
}

// Keeps a bind the cloud accepted, unless the library was closed (or started
// again) while the request ran.
int keep_binding(unsigned long long run, const std::string& tenant, const std::string& pos_id) {
    QxRunEntry again(run);
    if (!again.current()) {
        logger->info("initPos: the library was closed during the binding, nothing stored");
        return QX_ERR_NOT_READY;
    }
    std::lock_guard<std::mutex> lock(g_binding_mutex);
    if (!store_binding(*params, tenant, pos_id)) {
        logger->info("initPos failed: the binding files could not be written, both kept as they were");
        return QX_ERR_BINDING;
    }
    params->pos_id = pos_id;
    params->tenant_code = tenant;
    return QX_OK;
}

}  // namespace

void binding_init_urls(DB_HADNLE* context) {
    const CLOUD_URLS urls = Cloud::url_templates(context->cloud_host);
    context->url_bind = urls.bind;
    context->url_unbind = urls.unbind;
    context->url_report = urls.report;
    context->url_upload = urls.upload;
    context->url_update_mac = urls.update_mac;
    context->url_query_tenant = urls.query_tenant;
}

std::string binding_tenant_url(const std::string& url_template) {
    if (!params) return std::string();
    std::string tenant;
    {
        std::lock_guard<std::mutex> lock(g_binding_mutex);
        tenant = params->tenant_code;
    }
    return Cloud::tenant_url(url_template, params->dev, tenant);
}

int checkTenant(const char* tenant_code) {
    if (!params) return QX_ERR_TENANT_UNKNOWN;
    return Cloud::check_tenant(endpoints_of(*params), text_of(tenant_code));
}

int Storage(const char* pointer, const std::string& value, const std::string& path) {
    rapidjson::Pointer where(pointer ? pointer : "");
    if (!where.IsValid() || where.GetTokenCount() == 0) return -1;
    rapidjson::Document document;
    rapidjson::Value text(value.data(), static_cast<rapidjson::SizeType>(value.size()), document.GetAllocator());
    where.Set(document, text);
    if (!tool_write_file_atomic(path, json_compact(document))) {
        logger->info("Storage failed to write {}", path);
        return -1;
    }
    return 0;
}

int InitPos(const char* tenant_code, const char* pos_code, const char* sn_code) {
    return qx_gated("InitPos", QX_ERR_INTERNAL, QxAccess::kReady, {tenant_code, pos_code, sn_code}, [&] {
        const std::string tenant = tenant_code;
        const CLOUD_ENDPOINTS at = endpoints_of(*params);
        const unsigned long long run = qx_leave_state();
        const CLOUD_BINDING bound = Cloud::cloud_initpos(at, tenant, pos_code, sn_code);
        return bound.code != 0 ? bound.code : keep_binding(run, tenant, bound.pos_id);
    });
}

int UnbindPos(const char* tenant_code, const char* sn_code) {
    return qx_gated("UnbindPos", QX_ERR_INTERNAL, QxAccess::kReady, {tenant_code, sn_code}, [&] {
        const CLOUD_ENDPOINTS at = endpoints_of(*params);
        qx_leave_state();
        return Cloud::cloud_unbindpos(at, tenant_code, sn_code).code;
    });
}
