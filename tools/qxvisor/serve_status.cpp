// The set-up page's status panel and the cloud binding forms.
#include "qxvisor/cli.h"
#include "qxvisor/serve.h"

#include <httplib.h>
#include <qx_ai.h>
#include <sqlite3.h>

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <map>

namespace {

// Whether the catalogue file named by dev.ini opens and has the products' table.
std::string catalogue_problem(const std::string& path) {
    if (path.empty()) return "no catalogue named";
    sqlite3* db = nullptr;
    std::string problem;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        problem = "cannot be opened";
    } else {
        sqlite3_stmt* query = nullptr;
        if (sqlite3_prepare_v2(db, "select 1 from qx_goods limit 1", -1, &query, nullptr) != SQLITE_OK)
            problem = "cannot be read as a catalogue (no qx_goods table)";
        sqlite3_finalize(query);
    }
    sqlite3_close(db);
    return problem;
}

// Host and port of a URL "http://host:port/..." (port 80, or 443 for https, when not named).
bool url_host(const std::string& url, std::string* host, std::string* port) {
    size_t scheme = url.find("://");
    if (scheme == std::string::npos) return false;
    size_t start = scheme + 3, end = url.find_first_of("/?", start);
    std::string authority = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
    size_t colon = authority.rfind(':');
    bool bracketed = !authority.empty() && authority[0] == '[';
    if (colon != std::string::npos && (!bracketed || authority[colon - 1] == ']')) {
        *host = authority.substr(0, colon);
        *port = authority.substr(colon + 1);
    } else {
        *host = authority;
        *port = url.compare(0, scheme, "https") == 0 ? "443" : "80";
    }
    if (bracketed && host->size() >= 2) *host = host->substr(1, host->size() - 2);
    // Names under "localhost" are this machine, as the library's HTTP client resolves them.
    const std::string local = ".localhost";
    if (host->size() > local.size() && host->compare(host->size() - local.size(), local.size(), local) == 0) *host = "127.0.0.1";
    return !host->empty();
}

// Whether a TCP connection to the cloud's host opens within two seconds.
bool reachable(const std::string& host, const std::string& port) {
    addrinfo hints{}, *found = nullptr;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return false;
    bool open = false;
    for (addrinfo* a = found; a && !open; a = a->ai_next) {
        int sock = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (sock < 0) continue;
        if (connect(sock, a->ai_addr, a->ai_addrlen) == 0) {
            open = true;
        } else if (errno == EINPROGRESS) {
            pollfd fd = {sock, POLLOUT, 0};
            int error = 0;
            socklen_t length = sizeof error;
            open = poll(&fd, 1, 2000) == 1 && getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
        }
        close(sock);
    }
    freeaddrinfo(found);
    return open;
}

// What this run learned of the cloud: the tenant unbound from (the library
// keeps its binding files after an unbind) and whether the cloud answered.
struct CloudNote {
    std::mutex lock;
    std::string unbound_from;
    std::string bound_as;  // the POS code typed at the binding; the cloud gives the POS an id of its own
    std::string reach;  // "", "reachable", or "not reachable at HOST:PORT"
};
CloudNote cloud_note;

std::string cloud_note_json() {
    std::lock_guard<std::mutex> hold(cloud_note.lock);
    return JsonObject().add("unbound_from", cloud_note.unbound_from).add("bound_as", cloud_note.bound_as)
        .add("reach", cloud_note.reach).text();
}

// Binding and unbinding answer with the library's state afterwards; a failure
// says whether the cloud could be reached at all, which the result code alone
// does not tell.
void send_binding(httplib::Response& response, const std::vector<std::string>& values, bool unbind,
                  int (*call)(const std::vector<std::string>&)) {
    int result;
    {
        std::lock_guard<std::mutex> hold(library_lock());
        result = call(values);
    }
    std::string state = library_status();
    JsonObject answer = result_json(result);
    std::string reach = "reachable";
    if (result != QX_OK) {
        std::string host, port;
        bool known = url_host(json_string(state, "cloud_url"), &host, &port);
        if (!known || !reachable(host, port)) {
            reach = "not reachable" + (known ? " at " + host + ":" + port : std::string());
            answer.add("problem", "cloud " + reach);
        } else if (!unbind) {
            // The cloud answered: a binding it accepted may still fail to be kept.
            explain_failure(answer, result, "the binding was not stored", false);
        }
    }
    {
        std::lock_guard<std::mutex> hold(cloud_note.lock);
        cloud_note.reach = reach;
        if (result == QX_OK) {
            cloud_note.unbound_from = unbind ? values[0] : "";
            if (!unbind) cloud_note.bound_as = values[1];
        }
    }
    send_json(response, answer.add_raw("library", state).add_raw("cloud", cloud_note_json()).text());
}

// Reads the named fields; a missing one is refused as the C call refuses a null text.
bool text_fields(const httplib::Request& request, httplib::Response& response, const std::vector<std::string>& names,
                 std::vector<std::string>& values) {
    for (const std::string& name : names) {
        std::string value;
        if (!form_value(request, name, &value) || value.empty()) {
            send_json(response, result_json(QX_ERR_ARGUMENT).add("problem", name + " is required").text(), 400);
            return false;
        }
        values.push_back(value);
    }
    return true;
}

}  // namespace

std::string library_status() {
    // No library lock: the query is safe beside any call and must not wait
    // for a folder learning run.
    std::string text(16 << 10, '\0');
    for (int tries = 0; tries < 3; ++tries) {
        int needed = qx_tool_status(&text[0], static_cast<int>(text.size()));
        if (needed < 0) return "{}";
        if (static_cast<size_t>(needed) < text.size()) {
            text.resize(static_cast<size_t>(needed));
            return text;
        }
        text.assign(static_cast<size_t>(needed) + 1, '\0');
    }
    return "{}";
}

std::string json_string(const std::string& json, const std::string& name) {
    // The library writes compact JSON: "name":"value", with \" and \\ escaped.
    std::string key = "\"" + name + "\":\"";
    size_t at = json.find(key);
    if (at == std::string::npos) return "";
    std::string value;
    for (size_t i = at + key.size(); i < json.size() && json[i] != '"'; ++i) {
        if (json[i] == '\\' && i + 1 < json.size()) ++i;
        value += json[i];
    }
    return value;
}

long long json_number(const std::string& json, const std::string& name) {
    size_t at = json.find("\"" + name + "\":");
    return at == std::string::npos ? 0 : std::atoll(json.c_str() + at + name.size() + 3);
}

std::map<std::string, int> samples_per_code(const std::string& status) {
    // "products":[{"code":"1001","samples":4},...]
    std::map<std::string, int> counts;
    size_t at = status.find("\"products\":[");
    size_t end = at == std::string::npos ? at : status.find(']', at);
    while (at != std::string::npos && (at = status.find("{\"code\":", at)) != std::string::npos && at < end) {
        size_t next = status.find('}', at);
        std::string record = status.substr(at, next - at + 1);
        counts[json_string(record, "code")] = static_cast<int>(json_number(record, "samples"));
        at = next;
    }
    return counts;
}

int learned_samples(const std::string& code) {
    std::string status = library_status();
    if (code.empty()) return static_cast<int>(json_number(status, "samples"));
    auto counts = samples_per_code(status);
    auto found = counts.find(code);
    return found == counts.end() ? 0 : found->second;
}

void add_status_routes(httplib::Server& server) {
    server.Get("/api/status", [](const httplib::Request& request, httplib::Response& response) {
        std::string state = library_status();
        const char* model = std::getenv("QX_MODEL_FILE");
        std::string catalogue = json_string(state, "catalogDb");
        std::string problem = catalogue_problem(catalogue);
        std::vector<std::string> log;
        for (const std::string& line : newest_lines(library_log(state), 200, request.get_param_value("log") == "warnings"))
            log.push_back(json_text(line));
        std::string catalogue_json = JsonObject().add("path", catalogue).add("readable", problem.empty()).add("problem", problem).text();
        send_json(response, JsonObject().add("version", QX_TOOL_VERSION).add("model", model && *model ? model : "built in")
                                .add_raw("catalogue", catalogue_json).add_raw("library", state).add_raw("cloud", cloud_note_json())
                                .add("store_problem", store_problem(state)).add_raw("folder", folder_room_json())
                                .add("log_file", library_log(state)).add_raw("log", json_array(log)).text());
    });
    server.Post("/api/bind", [](const httplib::Request& request, httplib::Response& response) {
        std::vector<std::string> v;
        if (!text_fields(request, response, {"tenant", "pos", "sn"}, v)) return;
        send_binding(response, v, false, [](const std::vector<std::string>& a) { return InitPos(a[0].c_str(), a[1].c_str(), a[2].c_str()); });
    });
    server.Post("/api/unbind", [](const httplib::Request& request, httplib::Response& response) {
        std::vector<std::string> v;
        if (!text_fields(request, response, {"tenant", "sn"}, v)) return;
        send_binding(response, v, true, [](const std::vector<std::string>& a) { return UnbindPos(a[0].c_str(), a[1].c_str()); });
    });
}
