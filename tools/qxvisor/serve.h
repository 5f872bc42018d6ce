#pragma once
// Shared pieces of `qxvisor serve`, the technician's set-up page.
#include "qxvisor/json_out.h"

#include <mutex>
#include <string>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

// Every library call of the server goes through this one lock. The library
// itself takes calls from any thread at any time (include/qx_ai.h); the lock is
// the server's own: the page's requests arrive on several threads, and a
// request's steps around a call (the test shot GetScaleBitmap leaves in QXPhoto,
// found by listing the folder) must not interleave with another's calls.
std::mutex& library_lock();

// The answer to a form: the library's result code and its meaning, plus more members.
JsonObject result_json(int code);
void send_json(httplib::Response& response, const std::string& json, int status = 200);

// A form field; false when it is missing.
bool form_value(const httplib::Request& request, const std::string& name, std::string* value);

// The product's name in the host's catalogue, "" when there is none (takes the library lock).
std::string catalogue_name(const std::string& code);

// Route groups, each in its own file.
void add_camera_routes(httplib::Server& server);
void add_product_routes(httplib::Server& server);
void add_status_routes(httplib::Server& server);
void add_eval_routes(httplib::Server& server, const std::string& tool_path);
void stop_eval();

// The page itself (serve_page.html, built into the tool).
extern const char* const kSetupPage;

// Learned samples of `code` (every product's when `code` is empty), read from
// featurexYz.db without writing; 0 when there is no database yet.
int learned_samples(const std::string& code = "");
// Bytes of a file, "" when it cannot be read.
std::string file_bytes(const std::string& path);
