#include "store/store_health.h"

#include "store/usable_file.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// What lies at `path` when the store cannot write through it; "" for a regular
// file of one link, or nothing.
std::string kind_problem(const std::string& path, const std::string& name) {
    const std::string fault = db_entry_fault(path);
    return fault.empty() ? fault : name + " " + fault;
}

// Opens and reads the file's table list; "" when that works.
std::string database_problem(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return std::string("it cannot be read (") + std::strerror(errno) + ")";
    close(fd);
    sqlite3* db = nullptr;
    std::string problem;
    int code = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    if (code == SQLITE_OK) {
        // The library's own writes hold the file for moments only.
        sqlite3_busy_timeout(db, 300);
        code = sqlite3_exec(db, "select count(*) from sqlite_master", nullptr, nullptr, nullptr);
    }
    switch (code & 0xff) {
    case SQLITE_OK: break;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: problem = "another program holds it locked"; break;
    case SQLITE_NOTADB: problem = "it is not a learned-data file (not a database)"; break;
    case SQLITE_CORRUPT: problem = "it is damaged"; break;
    default: problem = std::string("it cannot be opened (") + (db ? sqlite3_errmsg(db) : sqlite3_errstr(code)) + ")";
    }
    sqlite3_close(db);
    return problem;
}

}  // namespace

std::string db_file_problem(const std::string& path) {
    const std::string name = path.substr(path.rfind('/') + 1);
    std::string problem = kind_problem(path, "it");
    if (!problem.empty()) return problem;
    for (const char* side : {"-journal", "-wal", "-shm"}) {
        problem = kind_problem(path + side, "its side file " + name + side);
        if (!problem.empty()) return problem;
    }
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) return "";  // none yet: the store makes one
    return database_problem(path);
}
