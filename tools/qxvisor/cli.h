#pragma once
// Shared pieces of the qxvisor command-line tool.
#include "qxvisor/ranking.h"

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

// Where the tool writes its results. The library prints a few fixed lines to
// standard output itself; main() sends those to /dev/null (or to stderr with
// --verbose) so that the tool's own output stays clean for scripts.
extern FILE* out;

struct Command {
    const char* name;
    const char* usage;    // arguments, after the command's name
    const char* summary;  // one line for the overview
    const char* help;     // the rest of --help
    int (*run)(const std::vector<std::string>& args);
};

const std::vector<Command>& commands();

// Prints "qxvisor NAME: message" on stderr and returns 1 (the exit status).
int fail(const std::string& command, const std::string& message);
// Name and meaning of a library result code, e.g. "QX_ERR_NO_CROP (no crop rectangle set)".
std::string result_text(int code);
// Init, and then waits while the library makes a store of another engine
// again (which it does on a thread of its own after Init): a command run
// meanwhile would be refused, and its Close would stop the work. Init's result.
int start_library();
// Runs Init, the operation, Close; a non-zero result becomes a one-line failure.
int with_library(const std::string& command, int (*operation)(const std::vector<std::string>&),
                 const std::vector<std::string>& args);

bool parse_int(const std::string& text, int* value);
// Removes "--flag" from args; true when it was there.
bool take_flag(std::vector<std::string>& args, const std::string& flag);
// Removes "--option VALUE" from args into *value; false when absent. Throws on a missing value.
bool take_option(std::vector<std::string>& args, const std::string& option, std::string* value);

// LearnFromPicData, calling `report` with the pictures learned so far while it runs.
int learn_following(size_t total, const std::function<void(size_t done, size_t total)>& report);

int run_eval(const std::vector<std::string>& args);
int run_serve(const std::vector<std::string>& args);
int run_bench(const std::vector<std::string>& args);

// What findcode finds for `text`, however long; *result gets a failure code.
std::string catalogue_text(const std::string& text, int* result = nullptr);
struct CatalogueRecord {
    std::string code, name;
};
// The records of a findcode text, in its order.
std::vector<CatalogueRecord> catalogue_records(const std::string& text);
// The product name of `code` in the host's catalogue, or "" when there is none.
std::string product_name(const std::string& code);
// The camera number stored in coordinate.json (0 when there is none).
int stored_camera_number();
