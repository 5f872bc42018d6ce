#include "store/temp_files.h"

#include "support/log.h"
#include "support/tools.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

const char kPrefix[] = ".qxtmp-";

// Earlier releases named their import and export copies "<file>.part.<pid>".
// Such a file is a leftover once no process of that number runs any more.
bool earlier_release_leftover(const char* name) {
    for (const char* base : {"featurexYz.db.part.", "data-copy.part."}) {
        const size_t length = std::strlen(base);
        if (std::strncmp(name, base, length) != 0) continue;
        const char* digits = name + length;
        if (*digits == '\0' || std::strspn(digits, "0123456789") != std::strlen(digits) || std::strlen(digits) > 9)
            return false;
        return kill(static_cast<pid_t>(std::atol(digits)), 0) != 0 && errno == ESRCH;
    }
    return false;
}

}  // namespace

std::string db_temp_file(const std::string& purpose) {
    std::string pattern = tool_get_dll_path() + kPrefix + purpose + "-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) {
        logger->info("temporary file {} cannot be created", pattern);
        return {};
    }
    close(fd);
    return name.data();
}

void db_remove_stale_temp_files() {
    const std::string folder = tool_get_dll_path();
    DIR* dir = opendir(folder.c_str());
    if (!dir) return;
    std::vector<std::string> stale;
    while (dirent* entry = readdir(dir)) {
        if (std::strncmp(entry->d_name, kPrefix, sizeof kPrefix - 1) != 0 && !earlier_release_leftover(entry->d_name))
            continue;
        struct stat status;
        std::string path = folder + entry->d_name;
        if (lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) stale.push_back(path);
    }
    closedir(dir);
    for (const std::string& path : stale) {
        if (std::remove(path.c_str()) == 0) logger->info("stale temporary file {} removed", path);
    }
}

void db_remove_side_files(const std::string& db_path) {
    for (const char* suffix : {"-journal", "-wal", "-shm"}) std::remove((db_path + suffix).c_str());
}
