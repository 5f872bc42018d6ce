#include "qxvisor/serve_guard.h"

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>

namespace {

bool loopback(const std::string& address) {
    return address == "127.0.0.1" || address == "::1" || address == "::ffff:127.0.0.1";
}

// Host header without its port; "[::1]:8080" -> "::1".
std::string host_name(const std::string& host) {
    if (!host.empty() && host[0] == '[') {
        size_t end = host.find(']');
        return end == std::string::npos ? host : host.substr(1, end - 1);
    }
    size_t colon = host.rfind(':');
    return colon == std::string::npos ? host : host.substr(0, colon);
}

bool same_text(const std::string& a, const std::string& b) {
    // Compared in full whatever the first difference, so that timing tells nothing.
    if (a.size() != b.size()) return false;
    unsigned char differ = 0;
    for (size_t i = 0; i < a.size(); ++i) differ |= static_cast<unsigned char>(a[i] ^ b[i]);
    return differ == 0;
}

}  // namespace

Admission admit(const GuardSettings& settings, const RequestFacts& request) {
    if (!settings.listen_named) {
        if (!loopback(request.remote_addr)) return Admission::WrongAddress;
        // A page of another site can reach 127.0.0.1 through a name that
        // resolves there; it still sends its own name as Host.
        std::string host = host_name(request.host);
        if (host != "127.0.0.1" && host != "localhost" && host != "::1") return Admission::WrongHost;
    } else if (settings.token.empty() || !same_text(request.token, settings.token)) {
        return Admission::NoToken;
    }
    if (request.method != "GET" && request.method != "HEAD") {
        // Forms come from the page's own script, which marks them; another
        // site's page cannot add the header without a CORS permission that
        // this server never grants, and its Origin differs.
        if (request.marker != "1") return Admission::WrongOrigin;
        if (!request.origin.empty() && request.origin != "http://" + request.host) return Admission::WrongOrigin;
    }
    return Admission::Allowed;
}

const char* admission_text(Admission admission) {
    switch (admission) {
    case Admission::Allowed: return "allowed";
    case Admission::WrongAddress: return "refused: only this machine may use the page (start with --listen ADDR for others)";
    case Admission::WrongHost: return "refused: the page answers to 127.0.0.1 and localhost only";
    case Admission::WrongOrigin: return "refused: forms are accepted from the set-up page itself only";
    case Admission::NoToken: return "refused: open the address with the token that qxvisor serve printed at start";
    }
    return "refused";
}

std::string make_token() {
    unsigned char bytes[16] = {};
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    size_t got = 0;
    if (fd >= 0) {
        while (got < sizeof bytes) {
            ssize_t n = read(fd, bytes + got, sizeof bytes - got);
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
        close(fd);
    }
    if (got < sizeof bytes) return "";  // no token means nobody gets in
    static const char digits[] = "0123456789abcdef";
    std::string token;
    for (unsigned char b : bytes) {
        token += digits[b >> 4];
        token += digits[b & 15];
    }
    return token;
}

std::string cookie_token(const std::string& cookie_header) {
    const std::string name = "qxvisor_token=";
    for (size_t at = 0; at < cookie_header.size();) {
        while (at < cookie_header.size() && (cookie_header[at] == ' ' || cookie_header[at] == ';')) ++at;
        size_t end = cookie_header.find(';', at);
        if (end == std::string::npos) end = cookie_header.size();
        if (cookie_header.compare(at, name.size(), name) == 0) return cookie_header.substr(at + name.size(), end - at - name.size());
        at = end;
    }
    return "";
}

std::string inside_folder(const std::string& root, const std::string& relative) {
    if (relative.empty() || relative[0] == '/' || relative.find('\0') != std::string::npos) return "";
    char real_root[PATH_MAX];
    char real_path[PATH_MAX];
    if (!realpath(root.c_str(), real_root)) return "";
    std::string joined = std::string(real_root) + "/" + relative;
    if (!realpath(joined.c_str(), real_path)) return "";
    std::string base = real_root;
    std::string found = real_path;
    if (found == base) return found;
    if (base != "/") base += "/";
    return found.compare(0, base.size(), base) == 0 ? found : "";
}

bool plain_name(const std::string& name) {
    if (name.empty() || name[0] == '.') return false;
    for (char c : name)
        if (c == '/' || c == '\\' || c == '\0') return false;
    return true;
}
