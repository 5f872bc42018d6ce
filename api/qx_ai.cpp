// Start-up and shutdown of the library, and the context record they build.
#include "qx_ai.h"

#include "api/binding.h"
#include "api/context.h"
#include "api/engine_handle.h"
#include "api/gate.h"
#include "api/recompute_thread.h"
#include "api/settings.h"
#include "api/store_producer.h"
#include "camera/camhp.h"
#include "cloud/cloud.h"
#include "engine/libclsretri.h"
#include "store/database.h"
#include "store/libhnsw.h"
#include "store/record_writer.h"
#include "store/temp_files.h"
#include "support/log.h"
#include "support/tools.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

DB_HADNLE* params = nullptr;
void* handle = nullptr;
bool drive_ai = false;

DB_HADNLE::DB_HADNLE() = default;
DB_HADNLE::~DB_HADNLE() = default;

void init_params() {
    if (!params) params = new DB_HADNLE();
    camhp_init(&params->cam);
    const std::string prefix = tool_get_dll_path();
    params->ini_path = prefix + "dev.ini";
    params->json_tenant_path = prefix + "tenant.json";
    params->json_posid_path = prefix + "posId.json";
    binding_init_urls(params);
    params->cloud_online = true;
    params->importing = false;
}

int clsretri_Init() {
    logger->info("初始化岚帆图像加速库");
    // A second Init without Close still holds the first engine: it is replaced.
    const int result = engine_create();
    if (result != 0) {
        logger->info("初始化岚帆图像加速库失败");
        return -1;
    }
    logger->info("初始化岚帆图像加速库成功");
    return 0;
}

void Getfilepath(const char* directory, const char* name, std::string& out) {
    out = directory;
    if (out.empty() || out.back() != '/') out += '/';
    out += name;
    std::printf("path is = %s\n", out.c_str());
}

int DeleteFile(const char* path) {
    struct stat status;
    if (lstat(path, &status) != 0) return 0;
    if (S_ISREG(status.st_mode)) {
        std::remove(path);
        return 0;
    }
    // Symbolic links, devices and the like are never followed nor removed.
    if (!S_ISDIR(status.st_mode)) return 0;
    DIR* dir = opendir(path);
    if (!dir) return 1;
    std::string entry_path;
    while (dirent* entry = readdir(dir)) {
        Getfilepath(path, entry->d_name, entry_path);
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        DeleteFile(entry_path.c_str());
        rmdir(entry_path.c_str());
    }
    closedir(dir);
    return 0;
}

// Everything the previous Init built that would otherwise leak or keep running.
static void release_runtime_parts() {
    recompute_thread_stop();
    camhp_close(&params->cam);
    db_close(params);
}

int Init() {
    return qx_gated("Init", 0, QxAccess::kLifecycle, [] {
        if (log_is_fallback()) log_reopen();
        log_flush_every_message();
        logger->info("{}", 1);
        if (params) release_runtime_parts();
        init_params();
        logger->info("{}", 2);
        logger->info("图形加速库初始化结果:{0:x}", clsretri_Init());
        logger->info("{}", 3);
        qx_auty_getmacaddresses(params->mac_addr);
        logger->info("params->mac_addr:{}", params->mac_addr);
        tool_del_rod(params->mac_addr);
        delete_daily();
        logger->info("{}", 4);
        settings_read_dev_ini(params);
        // dev.ini may name another cloud host than the build default.
        binding_init_urls(params);
        logger->info("{}", 5);
        camhp_read_setting_from_file(&params->cam);
        logger->info("{}", 6);
        settings_read_bindings(params);
        logger->info("{}", 7);
        // An unusable database file is logged and start-up goes on: recognitions
        // then find nothing until the file can be opened again.
        qx_guarded("db_init", 0, [] {
            db_remove_stale_temp_files();
            db_init(params);
            // A store another engine made is never matched as if it were this one's.
            producer_check_at_start(params);
            return 0;
        });
        DeleteFile(params->cam.qxphoto_path.c_str());
        logger->info("{}", 8);
        return 0;
    });
}

static void release_all() {
    if (params) {
        release_runtime_parts();
        delete params;
        params = nullptr;
    }
    CLSRETRI_Release(&handle);
}

int Close() {
    return qx_gated("Close", 0, QxAccess::kLifecycle, [] {
        logger->info("释放资源开始");
        release_all();
        logger->info("释放资源结束");
        return 0;
    });
}

int qx_ai_qxrelease() {
    return qx_gated("qx_ai_qxrelease", 0, QxAccess::kLifecycle, [] {
        release_all();
        return 0;
    });
}
