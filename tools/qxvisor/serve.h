#pragma once
// Shared pieces of `qxvisor serve`, the technician's set-up page.
#include "qxvisor/json_out.h"

#include "api/tool_status.h"

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

// The largest learned-data file an import takes.
constexpr size_t kUploadLimit = 256u << 20;
// A request's body: the file and its form around it.
constexpr size_t kPayloadLimit = kUploadLimit + (1u << 20);

// Every library call of the server goes through this one lock. The library
// itself takes calls from any thread at any time (include/qx_ai.h); the lock is
// the server's own: the page's requests arrive on several threads, and a
// request's steps around a call (the recognition's picture left in QXPhoto,
// found by listing the folder) must not interleave with another's calls.
std::mutex& library_lock();

// The answer to a form: the library's result code and its meaning, plus more members.
JsonObject result_json(int code);
void send_json(httplib::Response& response, const std::string& json, int status = 200);

// A form field; false when it is missing.
bool form_value(const httplib::Request& request, const std::string& name, std::string* value);

// The product's name in the host's catalogue, "" when there is none (takes the library lock).
std::string catalogue_name(const std::string& code);

// The checks in front of every route and the routes themselves, as
// `qxvisor serve` runs them; `tool_path` is the program an accuracy run starts.
// `guard` must outlive the server.
class LimitedServer;
struct GuardSettings;
void configure_server(LimitedServer& server, const GuardSettings& guard, const std::string& tool_path);

// Route groups, each in its own file.
void add_camera_routes(httplib::Server& server);
void add_product_routes(httplib::Server& server);
void add_status_routes(httplib::Server& server);
void add_catalogue_routes(httplib::Server& server);
void add_eval_routes(httplib::Server& server, const std::string& tool_path);
void stop_eval();

// The page itself (serve_page.html, built into the tool).
extern const char* const kSetupPage;

// The running library's state as JSON (api/tool_status.h); "{}" when it does not answer.
std::string library_status();
// The string member `name` of the library's compact JSON, "" when absent.
std::string json_string(const std::string& json, const std::string& name);
// The number member `name` of the library's JSON, 0 when absent.
long long json_number(const std::string& json, const std::string& name);
// Live samples per product code, as the running library holds them.
std::map<std::string, int> samples_per_code(const std::string& status);
// Live samples of `code` (every product's when `code` is empty).
int learned_samples(const std::string& code = "");

// The folder learning run started from the page, on a thread of its own.
void add_learning_routes(httplib::Server& server);
void stop_learning();
// Bytes of a file, "" when it cannot be read.
std::string file_bytes(const std::string& path);
