// The set-up page's status panel and the cloud binding forms.
#include "qxvisor/cli.h"
#include "qxvisor/serve.h"

#include <httplib.h>
#include <qx_ai.h>

#include <cstdlib>
#include <ctime>
#include <deque>
#include <fstream>
#include <regex>

namespace {

// The string member `name` of a small JSON file of the working folder, "" when absent.
std::string json_member(const char* file, const std::string& name) {
    std::string text = file_bytes(file);
    std::smatch match;
    if (std::regex_search(text, match, std::regex("\"" + name + "\"\\s*:\\s*\"([^\"\\\\]*)\""))) return match[1];
    return "";
}

std::string todays_log() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char name[64];
    std::strftime(name, sizeof name, "tmp/daily_%Y-%m-%d.txt", &local);
    return name;
}

std::vector<std::string> last_lines(const std::string& path, size_t count) {
    std::ifstream file(path);
    std::deque<std::string> lines;
    for (std::string line; std::getline(file, line);) {
        lines.push_back(line);
        if (lines.size() > count) lines.pop_front();
    }
    return {lines.begin(), lines.end()};
}

// What the day's log says about the engine's start: "started", "failed" or "".
std::string engine_start() {
    std::string state;
    for (const std::string& line : last_lines(todays_log(), 2000)) {
        if (line.find("初始化岚帆图像加速库成功") != std::string::npos) state = "started";
        if (line.find("初始化岚帆图像加速库失败") != std::string::npos) state = "failed";
    }
    return state;
}

void send_binding(httplib::Response& response, const std::vector<std::string>& values, int (*call)(const std::vector<std::string>&)) {
    int result;
    {
        std::lock_guard<std::mutex> hold(library_lock());
        result = call(values);
    }
    send_json(response, result_json(result).add("tenant", json_member("tenant.json", "demo"))
                            .add("pos_id", json_member("posId.json", "posId")).text());
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

void add_status_routes(httplib::Server& server) {
    server.Get("/api/status", [](const httplib::Request&, httplib::Response& response) {
        std::string ini = file_bytes("dev.ini");
        std::smatch match;
        int flag = 0;
        bool gpu = std::regex_search(ini, match, std::regex("^\\s*drive_ai\\s*=\\s*(-?\\d+)", std::regex::icase | std::regex::multiline)) &&
                   parse_int(match[1].str(), &flag) && flag != 0;
        const char* model = std::getenv("QX_MODEL_FILE");
        std::vector<std::string> log;
        for (const std::string& line : last_lines(todays_log(), 40)) log.push_back(json_text(line));
        std::string engine = JsonObject().add("version", QX_TOOL_VERSION).add("device", gpu ? "GPU (OpenCL)" : "CPU")
                                 .add("model", model && *model ? model : "built in").add("start", engine_start()).text();
        send_json(response, JsonObject().add_raw("engine", engine).add("samples", learned_samples())
                                .add("tenant", json_member("tenant.json", "demo")).add("pos_id", json_member("posId.json", "posId"))
                                .add("log_file", todays_log()).add_raw("log", json_array(log)).text());
    });
    server.Post("/api/bind", [](const httplib::Request& request, httplib::Response& response) {
        std::vector<std::string> v;
        if (!text_fields(request, response, {"tenant", "pos", "sn"}, v)) return;
        send_binding(response, v, [](const std::vector<std::string>& a) { return InitPos(a[0].c_str(), a[1].c_str(), a[2].c_str()); });
    });
    server.Post("/api/unbind", [](const httplib::Request& request, httplib::Response& response) {
        std::vector<std::string> v;
        if (!text_fields(request, response, {"tenant", "sn"}, v)) return;
        send_binding(response, v, [](const std::vector<std::string>& a) { return UnbindPos(a[0].c_str(), a[1].c_str()); });
    });
}
