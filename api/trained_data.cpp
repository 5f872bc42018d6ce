// Managing what the library has learned as a whole: export, import, clear, and
// withdrawing one product.
#include "qx_ai.h"

#include "api/context.h"
#include "api/gate.h"
#include "api/store_producer.h"
#include "store/CppSQLite3.h"
#include "store/database.h"
#include "store/store_file.h"
#include "store/temp_files.h"
#include "support/log.h"
#include "support/timing.h"
#include "support/tools.h"

#include <cstdio>
#include <ctime>

#include <sys/stat.h>

namespace {

int open_file_error() {
    std::printf("open file error\n");
    return QX_ERR_DATA_FILE;
}


}  // namespace

int ExportData(char* out) {
    // Shared with recognitions and with a rebuild's staging: the copy is SQLite's
    // consistent snapshot of the live store, never of a half-learned one.
    return qx_gated("ExportData", QX_ERR_DATA_FILE, QxAccess::kRead, {out}, [&] {
        // The recognitions returned so far are part of what is exported.
        db_flush_records(params);
        const std::string path = tool_get_dll_path() + "data-copy";
        if (path.size() >= QX_PATH_SIZE) {
            logger->info("export path {} does not fit the {}-byte buffer", path, QX_PATH_SIZE);
            return QX_ERR_DATA_FILE;
        }
        const std::string part = db_temp_file("export");
        bool copied = !part.empty() && db_snapshot_file(params->db_path, part);
        if (!copied || std::rename(part.c_str(), path.c_str()) != 0) {
            if (!part.empty()) std::remove(part.c_str());
            return open_file_error();
        }
        std::snprintf(out, QX_PATH_SIZE, "%s", path.c_str());
        return QX_OK;
    });
}

int ImportData(const char* path) {
    return qx_gated("ImportData", QX_ERR_DATA_FILE, QxAccess::kRebuild, {path}, [&] {
        // Everything that can fail (copy, checks, migration, reading every row
        // into a new index) happens on a private copy; the live file and index
        // are replaced only once all of it worked.
        const std::string part = db_temp_file("import");
        std::string refused = part.empty() ? "no room for a copy" : "";
        if (refused.empty()) refused = db_copy_import(path, part);
        if (refused.empty()) {
            try {
                refused = db_admit_import(part);
                if (refused.empty()) refused = producer_admit_import(part);
                if (refused.empty()) {
                    QxStoreSwap swap;
                    // Records on their way belong to the store being replaced.
                    db_flush_records(params);
                    db_install_store(params, part, true);
                }
            } catch (const CppSQLite3Exception& e) {
                refused = e.errorMessage();
            } catch (const std::exception& e) {
                refused = e.what();
            }
        }
        if (!refused.empty()) {
            if (!part.empty()) {
                std::remove(part.c_str());
                db_remove_side_files(part);
            }
            logger->info("import of {} refused, the current data is kept: {}", path, refused);
            return open_file_error();
        }
        return QX_OK;
    });
}

int ClearTrainedData() {
    return qx_gated("ClearTrainedData", QX_ERR_DATA_FILE, QxAccess::kData, [] {
        if (params->db_path.empty()) return QX_OK;
        // Records on their way belong to the store being replaced.
        db_flush_records(params);
        struct stat status;
        const bool had_file = stat(params->db_path.c_str(), &status) == 0;
        // An empty store takes the old one's place in one rename, with an empty
        // index: the library goes on exactly as after Init on an empty folder.
        // With no file there is nothing to report, but the index is emptied all the same.
        DB_STAGED_STORE empty;
        producer_stamp(empty);
        empty.install(params);
        if (had_file) logger->info("remove kvtfile successed\n");
        return QX_OK;
    });
}

int qx_ai_setnorecommend(const char* code_text) {
    return qx_gated("qx_ai_setnorecommend", QX_ERR_INTERNAL, QxAccess::kData, {code_text}, [&] {
        const std::string code = code_text;
        // Refused before anything changes: the code's folder would be emptied outside.
        if (tool_refuse_link(tool_get_dll_path() + "pic_data", "picture store")) return QX_ERR_INTERNAL;
        logger->info("开始清除商品:{}的学习记录", code);
        std::clock_t start = std::clock();

        db_withdraw_code(params, code);
        logger->info("all elapsed {}ms\n", clock_elapsed_ms(start, std::clock()));

        // The code names a folder: one that could reach outside pic_data is refused.
        if (!tool_code_is_safe_folder(code) || code.size() >= 119) {
            logger->info("code {} cannot name a picture folder; its pictures are left alone", code);
            return QX_OK;
        }
        DeleteFile(("pic_data/" + code).c_str());
        return QX_OK;
    });
}
