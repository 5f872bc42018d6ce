#include "store/store_file.h"

#include "store/CppSQLite3.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <map>
#include <memory>

namespace {

struct ConnectionClose {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using Connection = std::unique_ptr<sqlite3, ConnectionClose>;

Connection open_connection(const std::string& path, int flags) {
    sqlite3* db = nullptr;
    const int opened = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    Connection owned(db);  // sqlite3_open_v2 may hand out a handle even when it fails
    if (opened != SQLITE_OK) return nullptr;
    sqlite3_busy_timeout(db, 5000);
    return owned;
}

class FileHandle {
public:
    explicit FileHandle(int fd) : fd_(fd) {}
    ~FileHandle() {
        if (fd_ >= 0) close(fd_);
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    int get() const { return fd_; }
    // Closes now, for callers that must know the close worked (a write may
    // report its failure only there).
    bool close_checked() {
        const int fd = fd_;
        fd_ = -1;
        return fd < 0 || close(fd) == 0;
    }

private:
    int fd_;
};

bool is_empty_file(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && status.st_size == 0;
}

bool write_all(int fd, const char* data, ssize_t size) {
    for (ssize_t done = 0; done < size;) {
        const ssize_t put = write(fd, data + done, static_cast<size_t>(size - done));
        if (put > 0) done += put;
        else if (!(put < 0 && errno == EINTR)) return false;
    }
    return true;
}

// Columns the library reads and writes in each of its tables; an older layout
// may lack the ones start-up adds (deleted, update_time, real_codes).
const std::map<std::string, const char*>& known_tables() {
    static const std::map<std::string, const char*> tables = {
        {"feature_code", "id, code, feature"},
        {"record_count", "id, count"},
        {"product_record", "id, session_id, model_code, score, feature_value, image_path, product_ids, time"},
        {"feed_back_record", "id, code, session_id, hit"},
        {"product_model", "product_code"},
    };
    return tables;
}

}  // namespace

bool db_snapshot_file(const std::string& from, const std::string& to) {
    if (is_empty_file(from)) return std::ofstream(to, std::ios::binary | std::ios::trunc).good();
    Connection source = open_connection(from, SQLITE_OPEN_READONLY);
    Connection target = source ? open_connection(to, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) : nullptr;
    if (!target) return false;
    sqlite3_backup* backup = sqlite3_backup_init(target.get(), "main", source.get(), "main");
    if (!backup) return false;
    const bool stepped = sqlite3_backup_step(backup, -1) == SQLITE_DONE;
    return sqlite3_backup_finish(backup) == SQLITE_OK && stepped;
}

bool db_copy_regular_file(const char* from, const std::string& to) {
    FileHandle in(open(from, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat status;
    if (in.get() < 0 || fstat(in.get(), &status) != 0 || !S_ISREG(status.st_mode)) return false;
    FileHandle out(open(to.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
    if (out.get() < 0) return false;
    char block[65536];
    for (;;) {
        const ssize_t got = read(in.get(), block, sizeof block);
        if (got == 0) break;
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 || !write_all(out.get(), block, got)) return false;
    }
    return out.close_checked();
}

// A view or a trigger in a file brought in would run inside every later call:
// the file must pass SQLite's integrity check and hold nothing but the
// library's own tables (current or older layout) and their indexes.
std::string db_unusable_because(const std::string& path) {
    CppSQLite3DB db;
    db.open(path.c_str(), SQLITE_OPEN_READONLY);
    {
        CppSQLite3Query check = db.execQuery("pragma integrity_check;");
        std::string verdict = check.eof() ? "" : check.getStringField(0, "");
        if (verdict != "ok") return "integrity check: " + verdict;
    }
    bool has_features = false;
    {
        CppSQLite3Query schema = db.execQuery("select type, name, tbl_name, coalesce(sql, '') from sqlite_master;");
        for (; !schema.eof(); schema.nextRow()) {
            const std::string type = schema.getStringField(0, ""), name = schema.getStringField(1, "");
            const std::string table = schema.getStringField(2, ""), sql = schema.getStringField(3, "");
            bool internal = table.compare(0, 7, "sqlite_") == 0;
            bool known = known_tables().count(table) != 0;
            if (type == "index" && (known || internal)) continue;
            if (type != "table" || !(known || internal) || sql.find("VIRTUAL") != std::string::npos ||
                sql.find("virtual") != std::string::npos)
                return type + " " + name + " is not the library's own";
            has_features = has_features || table == "feature_code";
        }
    }
    if (!has_features) return "no feature_code table";
    for (const auto& table : known_tables()) {
        if (!db.tableExists(table.first.c_str())) continue;
        CppSQLite3Buffer sql;
        db.execQuery(sql.format("select %s from %s limit 0;", table.second, table.first.c_str()));
    }
    return "";
}
