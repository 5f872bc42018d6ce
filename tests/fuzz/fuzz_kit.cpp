#include "fuzz_kit.h"

#include "support/log.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace {

std::string g_folder;

void remove_folder() {
    std::error_code ignored;
    if (!g_folder.empty()) std::filesystem::remove_all(g_folder, ignored);
}

}  // namespace

std::string fuzz_enter_temp_dir() {
    if (!g_folder.empty()) return g_folder;
    std::string pattern = (std::filesystem::temp_directory_path() / "qxfuzz-XXXXXX").string();
    if (!mkdtemp(&pattern[0]) || chdir(pattern.c_str()) != 0) {
        std::perror("fuzz: no temporary working folder");
        std::abort();
    }
    g_folder = pattern;
    std::atexit(remove_folder);
    log_reopen();  // the day file goes into this folder, not where the run started
    return g_folder;
}

void fuzz_fail(const char* file, int line, const std::string& what) {
    std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", file, line, what.c_str());
    std::fflush(stderr);
    std::abort();
}
