#include "cloud/cloud.h"

#include "api/context.h"
#include "api/gate.h"
#include "build_config.h"
#include "cloud/CommonTools.h"
#include "qx_ai.h"
#include "support/json.h"
#include "support/log.h"
#include "support/tools.h"

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <curl/curl.h>
#include <rapidjson/document.h>
#include <rapidjson/pointer.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr int kCloudTimeoutSeconds = 3;

// Server codes the cloud answers with.
constexpr int kSnNotFound = 65014;
constexpr int kPosBoundToOtherMac = 65017;  // unbinding: MAC differs from the recorded one
constexpr int kMacBoundToOtherPos = 65006;
constexpr int kSnNotBound = 65019;

std::string text_of(const char* text) { return text ? std::string(text) : std::string(); }

// A printf-style template must not see a "%" that belongs to the host name.
std::string escape_percent(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        escaped += c;
        if (c == '%') escaped += '%';
    }
    return escaped;
}

std::string compact_json(const rapidjson::Value& value) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

// An answer counts only as a JSON object with an integer "code"; anything else
// (an empty body after a failed transfer included) is no answer at all.
bool read_answer(const std::string& response, rapidjson::Document& answer, int& code) {
    if (!json_parse(response, answer) || !answer.IsObject()) return false;
    auto member = answer.FindMember("code");
    if (member == answer.MemberEnd() || !member->value.IsInt()) return false;
    code = member->value.GetInt();
    return true;
}

const rapidjson::Value* data_member(const rapidjson::Document& answer) {
    auto member = answer.FindMember("data");
    return member == answer.MemberEnd() ? nullptr : &member->value;
}

// The terminal id of a successful binding: a non-empty text "data"."id".
bool read_pos_id(const rapidjson::Document& answer, std::string& pos_id) {
    const rapidjson::Value* data = data_member(answer);
    if (!data || !data->IsObject()) return false;
    auto id = data->FindMember("id");
    if (id == data->MemberEnd() || !id->value.IsString() || id->value.GetStringLength() == 0) return false;
    pos_id.assign(id->value.GetString(), id->value.GetStringLength());
    return true;
}

std::string device_mac_text() {
    char mac[32];
    qx_auty_getmacaddresses(mac);
    return mac;
}

// Values placed into a URL, each percent-encoded so that none can end the path,
// start a query or add a parameter. False, logged, when one cannot be encoded:
// the request is then not sent at all.
bool escaped_values(const char* what, std::initializer_list<std::string> values, std::vector<std::string>& out) {
    out.clear();
    for (const std::string& value : values) {
        std::string escaped;
        if (!CommonTools::url_escape(value, escaped)) {
            logger->info("{} refused: a value cannot be put into the URL", what);
            return false;
        }
        out.push_back(escaped);
    }
    return true;
}

// What the binding requests need of the context, copied before the requests so
// that they run without the library's locks: Close must not wait for a cloud
// time-out.
struct CLOUD_ENDPOINTS {
    std::string dev;
    std::string url_query_tenant;
    std::string url_bind;
    std::string url_unbind;
};

CLOUD_ENDPOINTS endpoints_of_context() {
    return {params->dev, params->url_query_tenant, params->url_bind, params->url_unbind};
}

int check_tenant_at(const CLOUD_ENDPOINTS& at, const std::string& tenant);

// Both binding files or neither: a bind whose files are not on disk would be
// lost at the next start while the caller believes it stored.
bool store_binding(const std::string& tenant, const std::string& pos_id) {
    std::string previous, why;
    const bool had_tenant = tool_read_small_file(params->json_tenant_path, kJsonFileLimit, previous, why);
    if (!tenant.empty() && Storage("/demo", tenant, params->json_tenant_path) != 0) return false;
    if (Storage("/posId", pos_id, params->json_posid_path) == 0) return true;
    if (!tenant.empty()) {
        const bool restored = had_tenant ? tool_write_file_atomic(params->json_tenant_path, previous)
                                         : unlink(params->json_tenant_path.c_str()) == 0;
        if (!restored) logger->info("Storage could not restore {}", params->json_tenant_path);
    }
    return false;
}

}  // namespace

std::string Cloud::format_url(const std::string& url_template, std::initializer_list<std::string> values) {
    std::string url;
    auto next = values.begin();
    for (size_t i = 0; i < url_template.size(); ++i) {
        const char c = url_template[i];
        if (c == '%' && i + 1 < url_template.size()) {
            const char kind = url_template[i + 1];
            if (kind == 's') {
                if (next != values.end()) url += *next++;
                ++i;
                continue;
            }
            if (kind == '%') {
                url += '%';
                ++i;
                continue;
            }
        }
        url += c;
    }
    return url;
}

int Cloud::cloud_init() {
    if (!params) return 0;
    const std::string host = escape_percent(params->cloud_host.empty() ? QX_CLOUD_HOST_DEFAULT : params->cloud_host);
    const std::string base = "%s." + host;
    params->url_bind = base + "/%s/newretail/api/pos/machine/bind";
    params->url_unbind = base + "/%s/newretail/api/pos/machine/unbind?mac=%s&snNo=%s";
    params->url_report = base + "/%s/newretail/api/search/product/saveImageIdentify";
    params->url_upload = base + "/%s/newretail/api/dfs/upload";
    params->url_update_mac = base + "/%s/newretail/api/pos/machine/updateMacByOld";
    params->url_query_tenant = base + "/0/newretail/api/sys/org/queryTenant?tenantCode=%s";
    return 0;
}

std::string Cloud::tenant_url(const std::string& url_template) {
    std::vector<std::string> escaped;
    if (!params || !escaped_values("cloud request", {params->tenant_code}, escaped)) return std::string();
    return format_url(url_template, {params->dev, escaped[0]});
}

int checkTenant(const char* tenant_code) {
    if (!params) return QX_ERR_TENANT_UNKNOWN;
    return check_tenant_at(endpoints_of_context(), text_of(tenant_code));
}

namespace {

int check_tenant_at(const CLOUD_ENDPOINTS& at, const std::string& tenant) {
    std::vector<std::string> escaped;
    if (!escaped_values("tenant check", {tenant}, escaped)) return QX_ERR_BINDING;
    const std::string url = Cloud::format_url(at.url_query_tenant, {at.dev, escaped[0]});
    logger->info("tenantUrl is {}", url);
    std::string response;
    const unsigned int transfer = CommonTools::http_get(url, response, kCloudTimeoutSeconds);
    logger->info("reponse is {}", response);
    // A URL libcurl will not send (a broken dev setting) is no verdict on the tenant.
    if (transfer == CURLE_URL_MALFORMAT || transfer == CURLE_UNSUPPORTED_PROTOCOL) {
        logger->info("tenant check refused: the URL cannot be sent ({})", transfer);
        return QX_ERR_BINDING;
    }

    rapidjson::Document answer;
    int code = 0;
    const bool readable = transfer == 0 && read_answer(response, answer, code);
    if (readable && code != 0) {
        logger->info("tenantCode:{} 没有找到", tenant);
        return QX_ERR_TENANT_UNKNOWN;
    }
    const rapidjson::Value* data = readable ? data_member(answer) : nullptr;
    if (!data || !data->IsTrue()) {
        logger->info("tenantCode:{} 没有找到1", tenant);
        return QX_ERR_TENANT_UNKNOWN;
    }
    return 0;
}

}  // namespace

int Cloud::cloud_initpos(const char* tenant_code, const char* pos_code, const char* sn_code) {
    if (!params) {
        logger->info("initPos failed: the library is not initialised");
        return QX_ERR_BINDING;
    }
    const std::string tenant = text_of(tenant_code);
    const std::string pos = text_of(pos_code);
    const std::string sn = text_of(sn_code);
    const CLOUD_ENDPOINTS at = endpoints_of_context();
    const unsigned long long run = qx_leave_state();
    const int checked = check_tenant_at(at, tenant);
    if (checked != 0) return checked;

    const std::string mac = device_mac_text();
    rapidjson::Document body;
    rapidjson::Pointer("/code").Set(body, rapidjson::Value(pos.c_str(), body.GetAllocator()));
    rapidjson::Pointer("/macAddress").Set(body, rapidjson::Value(mac.c_str(), body.GetAllocator()));
    rapidjson::Pointer("/snNo").Set(body, rapidjson::Value(sn.c_str(), body.GetAllocator()));

    std::vector<std::string> escaped;
    if (!escaped_values("initPos", {tenant}, escaped)) return QX_ERR_BINDING;
    const std::string url = format_url(at.url_bind, {at.dev, escaped[0]});
    logger->info("url is {}", url);
    std::string response;
    const unsigned int transfer = CommonTools::http_put(url, compact_json(body), response, kCloudTimeoutSeconds);
    logger->info("reponse is {}", response);

    rapidjson::Document answer;
    int code = 0;
    if (transfer != 0 || !read_answer(response, answer, code)) {
        logger->info("initPos failed: no usable answer (transfer code {})", transfer);
        return QX_ERR_BINDING;
    }
    switch (code) {
    case 0:
        break;
    case kSnNotFound:
        logger->info("snCode没有找到{}", sn);
        return QX_ERR_SN_UNKNOWN;
    case kPosBoundToOtherMac:
        logger->info("该posCode:{},已经绑定过,并且绑定的mac地址和传入的mac地址不一致", pos);
        return QX_ERR_POS_BOUND_ELSEWHERE;
    case kMacBoundToOtherPos:
        logger->info("此POS的MAC地址:{} 绑定过其它POS机，请联系管理员确认POS机编号！", mac);
        return QX_ERR_MAC_BOUND_ELSEWHERE;
    default:
        logger->info("initPos failed errorCode: {}", code);
        return QX_ERR_BINDING;
    }

    std::string pos_id;
    if (!read_pos_id(answer, pos_id)) {
        logger->info("initPos failed: the answer holds no terminal id");
        return QX_ERR_BINDING;
    }
    QxRunEntry again(run);
    if (!again.current()) {
        logger->info("initPos: the library was closed during the binding, nothing stored");
        return QX_ERR_NOT_READY;
    }
    if (!store_binding(tenant, pos_id)) {
        logger->info("initPos failed: the binding files could not be written, both kept as they were");
        return QX_ERR_BINDING;
    }
    params->pos_id = pos_id;
    params->tenant_code = tenant;
    return 0;
}

int Cloud::cloud_unbindpos(const char* tenant_code, const char* sn_code) {
    if (!params) {
        logger->info("unbindPos failed: the library is not initialised");
        return QX_ERR_BINDING;
    }
    const std::string tenant = text_of(tenant_code);
    const std::string sn = text_of(sn_code);
    const CLOUD_ENDPOINTS at = endpoints_of_context();
    qx_leave_state();
    const int checked = check_tenant_at(at, tenant);
    if (checked != 0) return checked;

    std::vector<std::string> escaped;
    if (!escaped_values("unbindPos", {tenant, device_mac_text(), sn}, escaped)) return QX_ERR_BINDING;
    const std::string url = format_url(at.url_unbind, {at.dev, escaped[0], escaped[1], escaped[2]});
    logger->info("url is {}", url);
    std::string response;
    const unsigned int transfer = CommonTools::http_get(url, response, kCloudTimeoutSeconds);
    logger->info("reponse is {}", response);

    rapidjson::Document answer;
    int code = 0;
    if (transfer != 0 || !read_answer(response, answer, code)) {
        logger->info("unbindPos failed: no usable answer (transfer code {})", transfer);
        return QX_ERR_BINDING;
    }
    switch (code) {
    case 0:
        return 0;
    case kSnNotFound:
        logger->info("snCode没有找到{}", sn);
        return QX_ERR_SN_UNKNOWN;
    case kSnNotBound:
        logger->info("snCode:{}并未绑定无需解绑", sn);
        return QX_ERR_NOT_BOUND;
    case kPosBoundToOtherMac:
        logger->info("该pos现在的mac地址和服务器记录的mac地址不一致 无法解绑");
        return QX_ERR_MAC_MISMATCH;
    default:
        logger->info("initPos failed errorCode: {}", code);
        return QX_ERR_BINDING;
    }
}

int Storage(const char* pointer, const std::string& value, const std::string& path) {
    rapidjson::Pointer where(pointer ? pointer : "");
    if (!where.IsValid() || where.GetTokenCount() == 0) return -1;
    rapidjson::Document document;
    rapidjson::Value text(value.data(), static_cast<rapidjson::SizeType>(value.size()), document.GetAllocator());
    where.Set(document, text);
    if (!tool_write_file_atomic(path, compact_json(document))) {
        logger->info("Storage failed to write {}", path);
        return -1;
    }
    return 0;
}

void qx_auty_format_mac(const unsigned char* address, char* mac) {
    std::snprintf(mac, 18, "%02X:%02X:%02X:%02X:%02X:%02X", address[0], address[1], address[2], address[3],
                  address[4], address[5]);
}

int qx_auty_getmacaddresses_of(std::initializer_list<const char*> interfaces, char* mac) {
    if (!mac) return -1;
    mac[0] = '\0';
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        std::perror("socket");
        return -1;
    }
    for (const char* name : interfaces) {
        ifreq request;
        std::memset(&request, 0, sizeof request);
        std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
        if (ioctl(fd, SIOCGIFHWADDR, &request) == 0) {
            qx_auty_format_mac(reinterpret_cast<const unsigned char*>(request.ifr_hwaddr.sa_data), mac);
            close(fd);
            return 17;
        }
    }
    std::perror("ioctl");
    close(fd);
    return -1;
}

int qx_auty_getmacaddresses(char* mac) { return qx_auty_getmacaddresses_of({"eth0", "eno1"}, mac); }
