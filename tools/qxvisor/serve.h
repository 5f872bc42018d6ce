#pragma once
// Shared pieces of `qxvisor serve`, the technician's set-up page.
#include "qxvisor/cli.h"
#include "qxvisor/json_out.h"

#include <qx_tool.h>

#include <map>
#include <mutex>
#include <set>
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

// The answer to a form: the library's result code, its meaning in a
// technician's words ("text") and, on failure, the code's name ("detail").
JsonObject result_json(int code);
// Why the learned data cannot be served, in words ("" when it can), from the
// library's state (library_status()).
std::string store_problem(const std::string& state);
// After an action: when the learned-data file cannot be used (if it matters to
// the action) or, on failure, the working folder has no room, says so as
// "problem" (failure) or "warning" (success that did nothing useful), led by
// `undone` ("nothing was learned"). Whether it said anything.
bool explain_failure(JsonObject& answer, int result, const std::string& undone, bool store_matters = true);

// Room in the working folder: free bytes and why nothing can be written ("" when it can).
struct FolderRoom {
    long long free_bytes = -1;
    std::string free_text;
    bool read_only = false;
    std::string problem;
};
FolderRoom folder_room();
std::string folder_room_json();
void send_json(httplib::Response& response, const std::string& json, int status = 200);
// A 409: the request clashes with work in progress or already done. It carries
// `code`, but the words of a conflict rather than of `code`'s meaning.
void send_conflict(httplib::Response& response, int code, const std::string& problem);

// A form field; false when it is missing.
bool form_value(const httplib::Request& request, const std::string& name, std::string* value);

// Names of the products in the host's catalogue (dev.ini's catalogDb), read
// from its file in one pass: the library's search logs every record it finds.
// Codes the catalogue lacks are left out.
std::map<std::string, std::string> catalogue_names(const std::set<std::string>& codes);
// One product's name, "" when the catalogue has none.
std::string catalogue_name(const std::string& code);
// The catalogue search's page size, and one page of what it found.
constexpr int kSearchPage = 20;
struct CataloguePage {
    std::vector<CatalogueRecord> records;
    int total = 0;  // every match, on this page or not
};

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

// The running library's state as JSON (qx_tool_status); "{}" when it does not answer.
std::string library_status();
// The string member `name` of the library's compact JSON, "" when absent.
std::string json_string(const std::string& json, const std::string& name);
// The number member `name` of the library's JSON, 0 when absent.
long long json_number(const std::string& json, const std::string& name);
// Live samples per product code, as the running library holds them.
std::map<std::string, int> samples_per_code(const std::string& status);
// Live samples of `code` (every product's when `code` is empty).
int learned_samples(const std::string& code = "");

// The day file the library writes (until its rotation at 02:07 the previous
// day's, so the date alone would name an empty file after midnight); "" when
// it writes none.
std::string library_log(const std::string& state);
// The newest `count` lines of a log file, newest first, the library's Chinese
// messages with their English meaning beside them; read from its last 256 KB
// only however large the file has grown.
std::vector<std::string> newest_lines(const std::string& path, size_t count, bool warnings_only);

// The folder learning run started from the page, on a thread of its own.
void add_learning_routes(httplib::Server& server);
void stop_learning();
// Bytes of a file, "" when it cannot be read.
std::string file_bytes(const std::string& path);
