#include "store/usable_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

const char* const kSideSuffixes[] = {"-journal", "-wal", "-shm"};

// Why the entry at `path`, links followed, cannot be read without blocking.
std::string read_refusal(const std::string& path) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0) return "";  // missing, or a dangling link SQLite reports itself
    return S_ISREG(status.st_mode) ? "" : path + " is not a regular file";
}

// Why the entry at `path` cannot be written through ("" when it can, or is missing).
std::string entry_refusal(const std::string& path) {
    const std::string fault = db_entry_fault(path);
    return fault.empty() ? fault : path + " " + fault;
}

}  // namespace

std::string db_entry_fault(const std::string& path) {
    struct stat status;
    if (lstat(path.c_str(), &status) != 0)
        return errno == ENOENT ? "" : std::string("cannot be examined (") + std::strerror(errno) + ")";
    if (S_ISLNK(status.st_mode)) return "is a symbolic link, which the library never follows";
    if (S_ISDIR(status.st_mode)) return "is a folder, not a file";
    if (!S_ISREG(status.st_mode)) return "is not a regular file";
    if (status.st_nlink > 1)
        return "has " + std::to_string(status.st_nlink) + " hard links (another name may lie outside the working folder)";
    return "";
}

std::string db_unusable_reason(const std::string& path) {
    std::string why = entry_refusal(path);
    for (const char* suffix : kSideSuffixes)
        if (why.empty()) why = entry_refusal(path + suffix);
    if (why.empty() && access(path.c_str(), F_OK) == 0 && access(path.c_str(), R_OK | W_OK) != 0)
        why = path + " cannot be read and written: " + std::strerror(errno);
    return why;
}

std::string db_unreadable_reason(const std::string& path) {
    std::string why = read_refusal(path);
    for (const char* suffix : kSideSuffixes)
        if (why.empty()) why = read_refusal(path + suffix);
    return why;
}
