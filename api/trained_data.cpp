// Managing what the library has learned as a whole: export, import, clear, and
// withdrawing one product.
#include "qx_ai.h"

#include "api/context.h"
#include "api/guard.h"
#include "store/CppSQLite3.h"
#include "store/database.h"
#include "store/libhnsw.h"
#include "support/log.h"
#include "support/tools.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

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

std::string temporary_beside(const std::string& path) { return path + ".part." + std::to_string(getpid()); }

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
        if (sqlite3_backup* backup = sqlite3_backup_init(target, "main", source, "main")) {
            copied = sqlite3_backup_step(backup, -1) == SQLITE_DONE;
            copied = sqlite3_backup_finish(backup) == SQLITE_OK && copied;
        }
    }
    sqlite3_close(source);
    sqlite3_close(target);
    return copied;
}

bool copy_bytes(const char* from, const std::string& to) {
    std::ifstream in(from, std::ios::binary);
    if (!in.good()) return false;
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    if (!out.good()) return false;
    out << in.rdbuf();
    out.flush();
    return out.good() || in.peek() == std::ifstream::traits_type::eof();
}

enum class Layout { kUnusable, kCurrent, kOlder };

// Whether a file is a feature database this library can serve from.
Layout database_layout(const std::string& path) {
    sqlite3* db = nullptr;
    Layout layout = Layout::kUnusable;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        auto runs = [db](const char* sql) {
            sqlite3_stmt* statement = nullptr;
            bool ok = sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK &&
                      sqlite3_step(statement) == SQLITE_ROW;
            sqlite3_finalize(statement);
            return ok;
        };
        if (runs("select count(*), max(length(code)), max(length(feature)) from feature_code"))
            layout = runs("select count(deleted) from feature_code") ? Layout::kCurrent : Layout::kOlder;
    }
    sqlite3_close(db);
    return layout;
}

}  // namespace

int ExportData(char* out) {
    return qx_gated("ExportData", QX_ERR_DATA_FILE, QxAccess::kData, [&] {
        if (!params) return QX_ERR_NOT_READY;
        if (!out) return QX_ERR_ARGUMENT;
        const std::string path = tool_get_dll_path() + "data-copy";
        const std::string part = temporary_beside(path);
        bool copied = snapshot_database(params->db_path, part);
        if (!copied || std::rename(part.c_str(), path.c_str()) != 0) {
            std::remove(part.c_str());
            return open_file_error();
        }
        std::strcpy(out, path.c_str());
        return QX_OK;
    });
}

int ImportData(const char* path) {
    return qx_gated("ImportData", QX_ERR_DATA_FILE, QxAccess::kRebuild, [&] {
        if (!params) return QX_ERR_NOT_READY;
        params->importing = true;
        // The current database is replaced only by a copy known to be usable,
        // and only by a rename: a failed import never loses what was learned.
        const std::string part = temporary_beside(params->db_path);
        Layout layout = Layout::kUnusable;
        if (path && copy_bytes(path, part)) layout = database_layout(part);
        if (layout == Layout::kUnusable || std::rename(part.c_str(), params->db_path.c_str()) != 0) {
            std::remove(part.c_str());
            params->importing = false;
            logger->info("import of {} refused: not a readable feature database", path ? path : "(null)");
            return open_file_error();
        }
        // Matching must serve the imported samples, not index labels of the old file.
        if (layout == Layout::kOlder) {
            db_close(params);
            db_init(params);
        } else {
            db_reload_index(params);
        }
        params->importing = false;
        return QX_OK;
    });
}

int ClearTrainedData() {
    return qx_gated("ClearTrainedData", QX_OK, QxAccess::kData, [] {
        if (!params) return QX_ERR_NOT_READY;
        struct stat status;
        if (params->db_path.empty() || lstat(params->db_path.c_str(), &status) != 0) return QX_OK;
        if (std::remove(params->db_path.c_str()) == 0)
            logger->info("remove kvtfile successed\n");
        else
            logger->info("kvtfile dose not exist\n");
        return QX_OK;
    });
}

int qx_ai_setnorecommend(const char* code_text) {
    return qx_gated("qx_ai_setnorecommend", QX_ERR_INTERNAL, QxAccess::kData, [&] {
        if (!params) return QX_ERR_NOT_READY;
        if (!code_text) return QX_ERR_ARGUMENT;
        const std::string code = code_text;
        logger->info("开始清除商品:{}的学习记录", code);
        std::clock_t start = std::clock();

        CppSQLite3DB db;
        db.open(params->db_path.c_str());
        CppSQLite3Buffer sql;
        std::vector<int> ids;
        {
            CppSQLite3Query rows = db.execQuery(sql.format("select id from feature_code where code = %Q;", code.c_str()));
            for (; !rows.eof(); rows.nextRow()) ids.push_back(rows.getIntField(0, 0));
        }
        for (int id : ids) db.execDML(sql.format("insert into record_count(count) values (%d)", id));
        bool has_features = db.tableExists("feature_code");
        if (has_features) db.execDML(sql.format("update feature_code set deleted = 1 where code = %Q;", code.c_str()));
        if (db.tableExists("product_model"))
            db.execDML(sql.format("delete from product_model where product_code = %Q", code.c_str()));

        std::unique_ptr<libhnsw::Index> rebuilt = db_build_index(db, 50000);
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            params->index.swap(rebuilt);
        }
        db.close();
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
