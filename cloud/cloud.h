#pragma once
// The cloud back end: URL templates, tenant check, binding and unbinding of
// the device, and the device's MAC text. Every call works on values its caller
// copied: none touches the library's state, so none needs its locks.
#include <initializer_list>
#include <string>

// The six URL templates of one cloud host; each "%s" takes a value in turn
// (Cloud::format_url), the first always the dev prefix.
struct CLOUD_URLS {
    std::string bind;
    std::string unbind;
    std::string report;
    std::string upload;
    std::string update_mac;
    std::string query_tenant;
};

// What the binding requests need, copied from the library context.
struct CLOUD_ENDPOINTS {
    std::string dev;
    std::string url_query_tenant;
    std::string url_bind;
    std::string url_unbind;
};

// A binding call's answer: 0, QX_ERR_TENANT_UNKNOWN, -4001..-4006 by the
// server's code, or QX_ERR_BINDING for any other answer, a failed transfer or a
// value that cannot be put into the URL; `pos_id` is the terminal id a
// successful bind returned.
struct CLOUD_BINDING {
    int code = 0;
    std::string pos_id;
};

class Cloud {
public:
    // The templates for `cloud_host`, or for the build's default host when it is empty.
    static CLOUD_URLS url_templates(const std::string& cloud_host);
    // 0 when the cloud knows the tenant, QX_ERR_TENANT_UNKNOWN otherwise;
    // QX_ERR_BINDING (logged) when the request cannot be sent at all.
    static int check_tenant(const CLOUD_ENDPOINTS& at, const std::string& tenant);
    static CLOUD_BINDING cloud_initpos(const CLOUD_ENDPOINTS& at, const std::string& tenant, const std::string& pos,
                                       const std::string& sn);
    static CLOUD_BINDING cloud_unbindpos(const CLOUD_ENDPOINTS& at, const std::string& tenant, const std::string& sn);
    // Fills a URL template: each "%s" takes the next value in turn, "%%" is a
    // "%". The values go in as given (callers escape them); a missing value
    // reads as empty text.
    static std::string format_url(const std::string& url_template, std::initializer_list<std::string> values);
    // A template of the report or the upload filled with the dev prefix and the
    // escaped tenant code; empty (logged) when it cannot be made.
    static std::string tenant_url(const std::string& url_template, const std::string& dev, const std::string& tenant);
};

// The device identity: the hardware address of "eth0", else of "eno1", as
// "0A:1B:2C:3D:4E:5F" into `mac` (at least 32 bytes). 17, or -1 with `mac`
// empty when neither interface answers.
int qx_auty_getmacaddresses(char* mac);
// Same rule over any list of interface names.
int qx_auty_getmacaddresses_of(std::initializer_list<const char*> interfaces, char* mac);
// The six bytes of a hardware address as upper-case hex pairs joined by ":".
void qx_auty_format_mac(const unsigned char* address, char* mac);
