#include "cloud/cloud.h"

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

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr int kCloudTimeoutSeconds = 3;
// The longest tenant code or POS code a bind sends, and POS id it stores.
constexpr size_t kBindingTextLimit = 256;

// A printf-style template must not see a "%" that belongs to the host name.
std::string escape_percent(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        escaped += c;
        if (c == '%') escaped += '%';
    }
    return escaped;
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

// The value a refusal's log line names.
enum class Subject { kNone, kSn, kPos, kMac };

// What the server's refusal codes mean, for binding and for unbinding.
struct ServerRefusal {
    int server_code;
    bool unbind;
    int result;
    const char* before;
    Subject subject;
    const char* after;
};

const ServerRefusal kRefusals[] = {
    {65014, false, QX_ERR_SN_UNKNOWN, "snCode没有找到", Subject::kSn, ""},
    {65017, false, QX_ERR_POS_BOUND_ELSEWHERE, "该posCode:", Subject::kPos, ",已经绑定过,并且绑定的mac地址和传入的mac地址不一致"},
    {65006, false, QX_ERR_MAC_BOUND_ELSEWHERE, "此POS的MAC地址:", Subject::kMac,
     " 绑定过其它POS机，请联系管理员确认POS机编号！"},
    {65014, true, QX_ERR_SN_UNKNOWN, "snCode没有找到", Subject::kSn, ""},
    {65019, true, QX_ERR_NOT_BOUND, "snCode:", Subject::kSn, "并未绑定无需解绑"},
    {65017, true, QX_ERR_MAC_MISMATCH, "该pos现在的mac地址和服务器记录的mac地址不一致 无法解绑", Subject::kNone, ""},
};

// The values a refusal's log line may name.
struct Request {
    bool unbind;
    std::string sn, pos, mac;
};

// The call's result for a readable answer's server code (0 stays 0).
int result_of(const Request& request, int server_code) {
    if (server_code == 0) return 0;
    for (const ServerRefusal& refusal : kRefusals) {
        if (refusal.server_code != server_code || refusal.unbind != request.unbind) continue;
        const std::string& value = refusal.subject == Subject::kSn    ? request.sn
                                   : refusal.subject == Subject::kPos ? request.pos
                                   : refusal.subject == Subject::kMac ? request.mac
                                                                      : std::string();
        logger->info("{}{}{}", refusal.before, value, refusal.after);
        return refusal.result;
    }
    logger->info("initPos failed errorCode: {}", server_code);
    return QX_ERR_BINDING;
}

// The server's verdict on a sent request, through the refusal table: `answer`
// holds the document when the result is 0.
int verdict(const Request& request, unsigned int transfer, const std::string& response, rapidjson::Document& answer) {
    logger->info("reponse is {}", response);
    int code = 0;
    if (transfer != 0 || !read_answer(response, answer, code)) {
        logger->info("{} failed: no usable answer (transfer code {})", request.unbind ? "unbindPos" : "initPos",
                     transfer);
        return QX_ERR_BINDING;
    }
    return result_of(request, code);
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

CLOUD_URLS Cloud::url_templates(const std::string& cloud_host) {
    const std::string base = "%s." + escape_percent(cloud_host.empty() ? QX_CLOUD_HOST_DEFAULT : cloud_host);
    CLOUD_URLS urls;
    urls.bind = base + "/%s/newretail/api/pos/machine/bind";
    urls.unbind = base + "/%s/newretail/api/pos/machine/unbind?mac=%s&snNo=%s";
    urls.report = base + "/%s/newretail/api/search/product/saveImageIdentify";
    urls.upload = base + "/%s/newretail/api/dfs/upload";
    urls.update_mac = base + "/%s/newretail/api/pos/machine/updateMacByOld";
    urls.query_tenant = base + "/0/newretail/api/sys/org/queryTenant?tenantCode=%s";
    return urls;
}

std::string Cloud::tenant_url(const std::string& url_template, const std::string& dev, const std::string& tenant) {
    std::vector<std::string> escaped;
    if (!escaped_values("cloud request", {tenant}, escaped)) return std::string();
    return format_url(url_template, {dev, escaped[0]});
}

int Cloud::check_tenant(const CLOUD_ENDPOINTS& at, const std::string& tenant) {
    std::vector<std::string> escaped;
    if (!escaped_values("tenant check", {tenant}, escaped)) return QX_ERR_BINDING;
    const std::string url = format_url(at.url_query_tenant, {at.dev, escaped[0]});
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

CLOUD_BINDING Cloud::cloud_initpos(const CLOUD_ENDPOINTS& at, const std::string& tenant, const std::string& pos,
                                   const std::string& sn) {
    // Refused before the cloud hears of it: a bind the cloud accepted but the
    // library will not store would leave the device bound there only.
    if (tenant.size() > kBindingTextLimit || pos.size() > kBindingTextLimit) {
        logger->info("initPos refused before sending: a tenant or POS code longer than {} bytes", kBindingTextLimit);
        return {QX_ERR_BINDING, ""};
    }
    const int checked = check_tenant(at, tenant);
    if (checked != 0) return {checked, ""};
    const Request request{false, sn, pos, device_mac_text()};
    rapidjson::Document body;
    rapidjson::Pointer("/code").Set(body, rapidjson::Value(pos.c_str(), body.GetAllocator()));
    rapidjson::Pointer("/macAddress").Set(body, rapidjson::Value(request.mac.c_str(), body.GetAllocator()));
    rapidjson::Pointer("/snNo").Set(body, rapidjson::Value(sn.c_str(), body.GetAllocator()));

    std::vector<std::string> escaped;
    if (!escaped_values("initPos", {tenant}, escaped)) return {QX_ERR_BINDING, ""};
    const std::string url = format_url(at.url_bind, {at.dev, escaped[0]});
    logger->info("url is {}", url);
    std::string response;
    const unsigned int transfer = CommonTools::http_put(url, json_compact(body), response, kCloudTimeoutSeconds);
    rapidjson::Document answer;
    CLOUD_BINDING bound{verdict(request, transfer, response, answer), ""};
    if (bound.code == 0 && !read_pos_id(answer, bound.pos_id)) {
        logger->info("initPos failed: the answer holds no terminal id");
        bound.code = QX_ERR_BINDING;
    }
    // Real ids are a few dozen bytes; a huge one (a hostile plain-HTTP answer)
    // would be stored and handed to every reader of the binding files.
    if (bound.code == 0 && bound.pos_id.size() > kBindingTextLimit) {
        logger->info("initPos refused: a POS id longer than {} bytes", kBindingTextLimit);
        bound = {QX_ERR_BINDING, ""};
    }
    return bound;
}

CLOUD_BINDING Cloud::cloud_unbindpos(const CLOUD_ENDPOINTS& at, const std::string& tenant, const std::string& sn) {
    const int checked = check_tenant(at, tenant);
    if (checked != 0) return {checked, ""};
    const Request request{true, sn, "", device_mac_text()};
    std::vector<std::string> escaped;
    if (!escaped_values("unbindPos", {tenant, request.mac, sn}, escaped)) return {QX_ERR_BINDING, ""};
    const std::string url = format_url(at.url_unbind, {at.dev, escaped[0], escaped[1], escaped[2]});
    logger->info("url is {}", url);
    std::string response;
    const unsigned int transfer = CommonTools::http_get(url, response, kCloudTimeoutSeconds);
    rapidjson::Document answer;
    return {verdict(request, transfer, response, answer), ""};
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
