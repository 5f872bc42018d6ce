// Managing what the library has learned as a whole: export, import, clear, and
// withdrawing one product.
#include "qx_ai.h"

#include "api/context.h"
#include "api/guard.h"
#include "store/CppSQLite3.h"
#include "store/database.h"
#include "store/libhnsw.h"
#include "store/temp_files.h"
#include "support/log.h"
#include "support/tools.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>

namespace {

int open_file_error() {
    std::printf("open file error\n");
    return QX_ERR_DATA_FILE;
}

bool is_empty_file(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && status.st_size == 0;
}

// A consistent copy of a live database through SQLite's backup, which reads
// under a shared lock: a recognition storing its record meanwhile cannot tear it.
bool snapshot_database(const std::string& from, const std::string& to) {
    if (is_empty_file(from)) return std::ofstream(to, std::ios::binary | std::ios::trunc).good();
    sqlite3* source = nullptr;
    sqlite3* target = nullptr;
    bool copied = false;
    if (sqlite3_open_v2(from.c_str(), &source, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_open_v2(to.c_str(), &target, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(source, 5000);
        sqlite3_busy_timeout(target, 5000);
        if (sqlite3_backup* backup = sqlite3_backup_init(target, "main", source, "main")) {
            copied = sqlite3_backup_step(backup, -1) == SQLITE_DONE;
            copied = sqlite3_backup_finish(backup) == SQLITE_OK && copied;
        }
    }
    sqlite3_close(source);
    sqlite3_close(target);
    return copied;
}

// Copies a regular file only: a FIFO would block the call for ever and a
// device like /dev/zero would fill the disk.
bool copy_regular_file(const char* from, const std::string& to) {
    int in = open(from, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (in < 0) return false;
    struct stat status;
    bool copied = fstat(in, &status) == 0 && S_ISREG(status.st_mode);
    int out = copied ? open(to.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC) : -1;
    copied = copied && out >= 0;
    char block[65536];
    while (copied) {
        ssize_t got = read(in, block, sizeof block);
        if (got == 0) break;
        if (got < 0) {
            copied = errno == EINTR;
            continue;
        }
        for (ssize_t done = 0; copied && done < got;) {
            ssize_t put = write(out, block + done, static_cast<size_t>(got - done));
            if (put > 0) done += put;
            else copied = put < 0 && errno == EINTR;
        }
    }
    if (out >= 0 && close(out) != 0) copied = false;
    close(in);
    return copied;
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

// Why the file at `path` cannot be served as the feature database, or "" when
// it can: it must pass SQLite's integrity check and hold nothing but the
// library's own tables (current or older layout) and their indexes. A view or
// a trigger in an imported file would run inside every later call.
std::string unusable_because(const std::string& path) {
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

// Restores the refusal flag as the call found it, on every path out.
struct ImportingFlag {
    explicit ImportingFlag(DB_HADNLE* context) : context(context), before(context->importing.load()) {
        context->importing = true;
    }
    ~ImportingFlag() { context->importing = before; }
    DB_HADNLE* context;
    bool before;
};

}  // namespace

int ExportData(char* out) {
    return qx_gated("ExportData", QX_ERR_DATA_FILE, QxAccess::kData, [&] {
        if (!params) return QX_ERR_NOT_READY;
        if (!out) return QX_ERR_ARGUMENT;
        const std::string path = tool_get_dll_path() + "data-copy";
        if (path.size() >= QX_PATH_SIZE) {
            logger->info("export path {} does not fit the {}-byte buffer", path, QX_PATH_SIZE);
            return QX_ERR_DATA_FILE;
        }
        const std::string part = db_temp_file("export");
        bool copied = !part.empty() && snapshot_database(params->db_path, part);
        if (!copied || std::rename(part.c_str(), path.c_str()) != 0) {
            if (!part.empty()) std::remove(part.c_str());
            return open_file_error();
        }
        std::snprintf(out, QX_PATH_SIZE, "%s", path.c_str());
        return QX_OK;
    });
}

int ImportData(const char* path) {
    return qx_gated("ImportData", QX_ERR_DATA_FILE, QxAccess::kRebuild, [&] {
        if (!params) return QX_ERR_NOT_READY;
        ImportingFlag importing(params);
        // Everything that can fail (copy, checks, migration, reading every row
        // into a new index) happens on a private copy; the live file and index
        // are replaced only once all of it worked.
        const std::string part = db_temp_file("import");
        std::string refused = part.empty() ? "no room for a copy" : "";
        if (refused.empty() && !(path && copy_regular_file(path, part))) refused = "not a readable regular file";
        if (refused.empty()) {
            try {
                refused = unusable_because(part);
                if (refused.empty()) {
                    db_prepare_file(part);
                    db_install_store(params, part);
                }
            } catch (const CppSQLite3Exception& e) {
                refused = e.errorMessage();
            } catch (const std::exception& e) {
                refused = e.what();
            }
        }
        if (!refused.empty()) {
            if (!part.empty()) std::remove(part.c_str());
            logger->info("import of {} refused, the current data is kept: {}", path ? path : "(null)", refused);
            return open_file_error();
        }
        return QX_OK;
    });
}

int ClearTrainedData() {
    return qx_gated("ClearTrainedData", QX_ERR_DATA_FILE, QxAccess::kData, [] {
        if (!params) return QX_ERR_NOT_READY;
        if (params->db_path.empty()) return QX_OK;
        // An empty store takes the old one's place in one rename, with an empty
        // index: the library goes on exactly as after Init on an empty folder.
        DB_STAGED_STORE empty;
        empty.install(params);
        logger->info("remove kvtfile successed\n");
        return QX_OK;
    });
}

int qx_ai_setnorecommend(const char* code_text) {
    return qx_gated("qx_ai_setnorecommend", QX_ERR_INTERNAL, QxAccess::kData, [&] {
        if (!params) return QX_ERR_NOT_READY;
        if (!code_text) return QX_ERR_ARGUMENT;
        const std::string code = code_text;
        // Refused before anything changes: the code's folder would be emptied outside.
        if (tool_refuse_link(tool_get_dll_path() + "pic_data", "picture store")) return QX_ERR_INTERNAL;
        logger->info("开始清除商品:{}的学习记录", code);
        std::clock_t start = std::clock();

        db_withdraw_code(params, code);
        logger->info("all elapsed {}ms\n", static_cast<double>(std::clock() - start) * 1000.0 / CLOCKS_PER_SEC);

        // The code names a folder: one that could reach outside pic_data is refused.
        if (!tool_code_is_safe_folder(code) || code.size() >= 119) {
            logger->info("code {} cannot name a picture folder; its pictures are left alone", code);
            return QX_OK;
        }
        DeleteFile(("pic_data/" + code).c_str());
        return QX_OK;
    });
}
