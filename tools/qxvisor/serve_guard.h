#pragma once
// Who may use the set-up page, and which files a request may reach. Kept free
// of the HTTP server so that the rules can be tested on their own.
#include <string>

struct GuardSettings {
    bool listen_named = false;  // --listen was given: any address, but with the token
    std::string token;          // the one-time token printed at start (listen_named only)
    int port = 0;               // the port actually bound
};

struct RequestFacts {
    std::string remote_addr;
    std::string method;         // "GET", "POST", ...
    std::string host;           // Host header
    std::string origin;         // Origin header, "" when absent
    std::string marker;         // X-Qxvisor header, "" when absent
    std::string token;          // from the query "token", the X-Qxvisor-Token header or the cookie
};

enum class Admission {
    Allowed,
    WrongAddress,   // 403: not from this machine and --listen not given
    WrongHost,      // 403: Host header names another site (DNS rebinding)
    WrongOrigin,    // 403: a form sent by another site's page
    NoToken,        // 401: --listen given and the token is missing or wrong
};

Admission admit(const GuardSettings& settings, const RequestFacts& request);
const char* admission_text(Admission admission);

// 32 hexadecimal digits from the system's random source.
std::string make_token();
// The token held in a Cookie header ("qxvisor_token=..."), "" when none.
std::string cookie_token(const std::string& cookie_header);

// The real path of `relative` when it names an existing file or folder inside
// `root` (both resolved with realpath, so symbolic links cannot lead out), else "".
// Absolute paths and empty texts are refused.
std::string inside_folder(const std::string& root, const std::string& relative);
// A single file or folder name: not empty, not "." or "..", no "/", "\" or NUL,
// not starting with "." (no hidden files).
bool plain_name(const std::string& name);
