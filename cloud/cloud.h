#pragma once
// The cloud back end: URL templates, tenant check, binding and unbinding of
// the device, the binding files, and the device's MAC text.
#include <initializer_list>
#include <string>

class Cloud {
public:
    // Fills the six URL templates of the context from params->cloud_host (or
    // the build's default host). Always 0.
    static int cloud_init();
    // InitPos / UnbindPos: 0, QX_ERR_TENANT_UNKNOWN, -4001..-4006 by the
    // server's code, QX_ERR_BINDING for any other answer, a failed transfer,
    // a value that cannot be put into the URL, or binding files not written.
    static int cloud_initpos(const char* tenant_code, const char* pos_code, const char* sn_code);
    static int cloud_unbindpos(const char* tenant_code, const char* sn_code);
    // Fills a URL template: each "%s" takes the next value in turn, "%%" is a
    // "%". The values go in as given (callers escape them); a missing value
    // reads as empty text.
    static std::string format_url(const std::string& url_template, std::initializer_list<std::string> values);
    // A template of the report or the upload filled with the dev prefix and the
    // escaped tenant code of the context; empty (logged) when it cannot be made.
    static std::string tenant_url(const std::string& url_template);
};

// 0 when the cloud knows the tenant, QX_ERR_TENANT_UNKNOWN otherwise;
// QX_ERR_BINDING (logged) when the request cannot be sent at all.
int checkTenant(const char* tenant_code);

// Replaces `path` with a JSON document holding only `value`, as a string, at
// the JSON pointer's place, written compactly through a temporary file. 0, or
// -1 when the pointer is not valid, names no member, or the file cannot be written.
int Storage(const char* pointer, const std::string& value, const std::string& path);

// The device identity: the hardware address of "eth0", else of "eno1", as
// "0A:1B:2C:3D:4E:5F" into `mac` (at least 32 bytes). 17, or -1 with `mac`
// empty when neither interface answers.
int qx_auty_getmacaddresses(char* mac);
// Same rule over any list of interface names.
int qx_auty_getmacaddresses_of(std::initializer_list<const char*> interfaces, char* mac);
// The six bytes of a hardware address as upper-case hex pairs joined by ":".
void qx_auty_format_mac(const unsigned char* address, char* mac);
