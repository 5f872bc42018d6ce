#pragma once
// The library context record every exported call works on, and the globals that
// go with it.
#include "camera/camhp.h"
#include "store/db_store.h"
#include "support/serial_worker.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

// The store's fields (db_path, index, sample_rows, records, filter_score,
// search_k) come from DB_STORE: the store functions take the context as one.
struct DB_HADNLE : DB_STORE {
    DB_HADNLE();
    ~DB_HADNLE();
    DB_HADNLE(const DB_HADNLE&) = delete;
    DB_HADNLE& operator=(const DB_HADNLE&) = delete;

    _CAMHP_CAP_ cam;
    std::string dev;
    std::string tenant_code;
    char mac_addr[32] = {};
    std::string pos_id;
    std::string ini_path;
    std::string json_tenant_path;
    std::string json_posid_path;
    std::string url_bind;
    std::string url_unbind;
    std::string url_report;
    std::string url_upload;
    std::string url_update_mac;
    std::string url_query_tenant;
    // Read by other host threads while a learning run or an import goes on.
    std::atomic<bool> cloud_online{false};
    std::atomic<bool> importing{false};

    // Settings a technician may add to dev.ini's [default] section.
    std::string cloud_host;   // "cloudHost"
    std::string catalog_db;   // "catalogDb"

    // The recognitions' matching runs here while the caller waits: one thread
    // for the context's life rather than one per recognition.
    SerialWorker matcher;
};

// Null until the first Init and after Close: every call needing the library's
// state then answers QX_ERR_NOT_READY. Replaced only under the exclusive state
// lock (docs/threading.md), like handle and drive_ai.
extern DB_HADNLE* params;
extern void* handle;
extern bool drive_ai;
// Around every use of the engine handle: one forward at a time.
extern std::mutex g_engine_mutex;
// Around the camera context's settings and the callers' use of its ring.
extern std::mutex g_camera_mutex;

void init_params();
int clsretri_Init();
void Getfilepath(const char* directory, const char* name, std::string& out);
int DeleteFile(const char* path);
