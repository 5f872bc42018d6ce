// The set-up page's view of the running library (include/qx_tool.h).
#include "qx_tool.h"

#include "api/tool_status.h"

#include "api/binding.h"
#include "api/context.h"
#include "api/gate.h"
#include "api/store_producer.h"
#include "cloud/cloud.h"
#include "engine/libclsretri.h"
#include "engine/mnn_runtime.h"
#include "store/CppSQLite3.h"
#include "store/libhnsw.h"
#include "store/store_health.h"
#include "support/log.h"

#include <opencv2/imgcodecs.hpp>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::atomic<int> g_learned_pictures{0};

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

void member(JsonWriter& w, const char* name, const std::string& value) {
    w.Key(name);
    w.String(value.c_str(), static_cast<rapidjson::SizeType>(value.size()));
}

// Live samples per code, read from the store file the library serves; the
// total comes first.
void write_products(JsonWriter& w, const std::string& db_path) {
    std::vector<std::pair<std::string, int>> products;
    long long total = 0;
    try {
        CppSQLite3DB db;
        db.open(db_path.c_str(), SQLITE_OPEN_READONLY);
        CppSQLite3Query rows =
            db.execQuery("select code, count(*) from feature_code where coalesce(deleted, 0) = 0 group by code order by code");
        for (; !rows.eof(); rows.nextRow()) {
            products.emplace_back(rows.getStringField(0), rows.getIntField(1));
            total += products.back().second;
        }
    } catch (const CppSQLite3Exception&) {
        // No store yet (nothing learned): no products.
    }
    w.Key("samples");
    w.Int64(total);
    w.Key("products");
    w.StartArray();
    for (const auto& [code, samples] : products) {
        w.StartObject();
        member(w, "code", code);
        w.Key("samples");
        w.Int(samples);
        w.EndObject();
    }
    w.EndArray();
}

// The learned-data file: whether the running library serves it, and why it
// cannot when it cannot.
void write_store(JsonWriter& w, const DB_STORE& store) {
    bool loaded;
    {
        std::lock_guard<std::mutex> hold(g_mutex);
        loaded = store.index != nullptr;
    }
    w.Key("store");
    w.StartObject();
    member(w, "file", store.db_path.substr(store.db_path.rfind('/') + 1));
    w.Key("loaded");
    w.Bool(loaded);
    member(w, "problem", store.db_path.empty() ? std::string() : db_file_problem(store.db_path));
    producer_write_status(w, store.db_path);
    w.EndObject();
}

void write_camera(JsonWriter& w, _CAMHP_CAP_& cam) {
    w.Key("camera");
    w.StartObject();
    w.Key("number");
    w.Int(cam.camera_num);
    w.Key("open");
    w.Bool(camhp_is_open(&cam));
    w.Key("capturing");
    w.Bool(cam.capture_running);
    // The capture thread runs on while a camera delivers nothing; this says so.
    w.Key("picture_age_ms");
    w.Int64(camhp_picture_age_ms(&cam));
    member(w, "source", cam.source);
    w.EndObject();
}

void write_engine(JsonWriter& w) {
    w.Key("engine");
    w.StartObject();
    std::string runs;
    {
        std::lock_guard<std::mutex> hold(g_engine_mutex);
        auto* engine = static_cast<CLSRETRI_HANDLE*>(handle);
        if (engine && engine->interpreter && engine->session) runs = engine->interpreter->describeSession(engine->session);
    }
    w.Key("started");
    w.Bool(!runs.empty());
    member(w, "runs", runs);  // back end, threads and kernels
    w.EndObject();
}

void write_settings(JsonWriter& w, const DB_HADNLE& p) {
    w.Key("settings");
    w.StartObject();
    member(w, "dev", p.dev);
    w.Key("filterScore");
    w.Double(p.filter_score);
    w.Key("saveImage");
    w.Bool(p.cam.save_image);
    w.Key("drive_ai");
    w.Bool(drive_ai);
    member(w, "cloudHost", p.cloud_host);
    member(w, "catalogDb", p.catalog_db);
    w.Key("searchK");
    w.Int(p.search_k);
    w.EndObject();
}

int copy_text(const std::string& text, char* out, int out_size) {
    if (out_size < 0 || (!out && out_size > 0)) return QX_ERR_ARGUMENT;
    if (out_size > 0) {
        size_t kept = std::min(text.size(), static_cast<size_t>(out_size) - 1);
        std::memcpy(out, text.data(), kept);
        out[kept] = '\0';
    }
    return static_cast<int>(text.size());
}

}  // namespace

void tool_status_learning_started() { g_learned_pictures = 0; }
void tool_status_picture_learned() { ++g_learned_pictures; }

int qx_tool_status(char* out, int out_size) {
    return qx_gated("qx_tool_status", QX_ERR_INTERNAL, QxAccess::kCamera, [&] {
        rapidjson::StringBuffer buffer;
        JsonWriter w(buffer);
        w.StartObject();
        w.Key("ready");
        w.Bool(params != nullptr);
        if (params) {
            std::string tenant, pos_id;
            binding_current(&tenant, &pos_id);
            member(w, "tenant", tenant);
            member(w, "pos_id", pos_id);
            member(w, "mac", params->mac_addr);
            member(w, "cloud_url", Cloud::format_url(params->url_query_tenant, {params->dev, ""}));  // the tenant check's
            write_products(w, params->db_path);
            write_store(w, *params);
            write_camera(w, params->cam);
            write_engine(w);
            write_settings(w, *params);
            w.Key("learning");
            w.StartObject();
            w.Key("running");
            w.Bool(params->importing);
            w.Key("done");
            w.Int(g_learned_pictures);
            w.EndObject();
            member(w, "log_file", log_current_file());  // from midnight to 02:07 still yesterday's
        }
        w.EndObject();
        return copy_text(std::string(buffer.GetString(), buffer.GetSize()), out, out_size);
    });
}

int qx_tool_picture(int crop, char* out, int out_size) {
    return qx_gated("qx_tool_picture", QX_ERR_INTERNAL, QxAccess::kCamera, [&] {
        if (out_size < 0 || (!out && out_size > 0)) return QX_ERR_ARGUMENT;
        if (!params) return 0;
        _CAMHP_CAP_& cam = params->cam;
        if (!camhp_is_open(&cam) || !cam.capture_running) return 0;
        std::vector<cv::Mat> copies(cam.frame_count > 0 ? cam.frame_count : 0);
        for (int k = 0; k < static_cast<int>(copies.size()); ++k) copies[k] = camhp_copy_slot(&cam, k);
        cv::Mat picture;
        if (!crop) {
            for (const cv::Mat& frame : copies)
                if (picture.empty() && !frame.empty()) picture = frame;
        } else if (cam.width > 0 && cam.height > 0) {
            const cv::Rect rect(cam.x, cam.y, cam.width, cam.height);
            const int best = camhp_pick_sharpest(copies.data(), static_cast<int>(copies.size()), rect, nullptr);
            if (best >= 0) picture = copies[best](rect);
        }
        std::vector<unsigned char> jpeg;
        if (picture.empty() || !cv::imencode(".jpg", picture, jpeg)) return 0;
        if (jpeg.size() <= static_cast<size_t>(out_size)) std::memcpy(out, jpeg.data(), jpeg.size());
        return static_cast<int>(jpeg.size());
    });
}
