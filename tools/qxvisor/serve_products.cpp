// The set-up page's learned products: sample counts, filed pictures,
// withdrawal, export and import.
#include "qxvisor/cli.h"
#include "qxvisor/serve.h"
#include "qxvisor/serve_guard.h"

#include <httplib.h>
#include <qx_ai.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace fs = std::filesystem;

namespace {

// Live samples per code. The library has no call that counts them, so the
// database is read directly, read-only, beside the library's own connections.
std::map<std::string, int> samples_per_code(const std::string& only) {
    std::map<std::string, int> counts;
    if (!fs::is_regular_file("featurexYz.db")) return counts;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2("featurexYz.db", &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 2000);
        sqlite3_stmt* query = nullptr;
        const char* sql = only.empty()
                              ? "select code, count(*) from feature_code where coalesce(deleted, 0) = 0 group by code"
                              : "select code, count(*) from feature_code where coalesce(deleted, 0) = 0 and code = ?1 group by code";
        if (sqlite3_prepare_v2(db, sql, -1, &query, nullptr) == SQLITE_OK) {
            if (!only.empty()) sqlite3_bind_text(query, 1, only.c_str(), -1, SQLITE_TRANSIENT);
            while (sqlite3_step(query) == SQLITE_ROW) {
                const unsigned char* code = sqlite3_column_text(query, 0);
                counts[code ? reinterpret_cast<const char*>(code) : ""] = sqlite3_column_int(query, 1);
            }
        }
        sqlite3_finalize(query);
    }
    sqlite3_close(db);
    return counts;
}

bool is_jpeg_name(const std::string& name) {
    return plain_name(name) && name.size() > 4 && name.compare(name.size() - 4, 4, ".jpg") == 0;
}

// File names of a product's filed pictures, oldest first (their names are milliseconds).
std::vector<std::string> filed_pictures(const std::string& code) {
    std::vector<std::string> names;
    if (!plain_name(code)) return names;
    std::error_code error;
    for (fs::directory_iterator it(fs::path("pic_data") / code, error), end; !error && it != end; it.increment(error))
        if (it->is_regular_file() && is_jpeg_name(it->path().filename().string())) names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    return names;
}

}  // namespace

std::string file_bytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

int learned_samples(const std::string& code) {
    int total = 0;
    for (const auto& entry : samples_per_code(code)) total += entry.second;
    return total;
}

void add_product_routes(httplib::Server& server) {
    server.Get("/api/products", [](const httplib::Request&, httplib::Response& response) {
        std::map<std::string, int> counts = samples_per_code("");
        std::error_code error;
        for (fs::directory_iterator it("pic_data", error), end; !error && it != end; it.increment(error))
            if (it->is_directory() && plain_name(it->path().filename().string())) counts.emplace(it->path().filename().string(), 0);
        std::vector<std::string> products;
        for (const auto& [code, samples] : counts) {
            std::vector<std::string> pictures;
            for (const std::string& name : filed_pictures(code)) pictures.push_back(json_text(name));
            products.push_back(JsonObject().add("code", code).add("name", catalogue_name(code)).add("samples", samples)
                                   .add_raw("pictures", json_array(pictures)).text());
        }
        send_json(response, JsonObject().add_raw("products", json_array(products)).text());
    });
    server.Get("/api/picture", [](const httplib::Request& request, httplib::Response& response) {
        std::string code = request.get_param_value("code"), name = request.get_param_value("name");
        std::string path = plain_name(code) && is_jpeg_name(name) ? inside_folder("pic_data", code + "/" + name) : "";
        if (path.empty() || !fs::is_regular_file(path)) {
            response.status = 404;
            response.set_content("no such picture", "text/plain");
            return;
        }
        response.set_content(file_bytes(path), "image/jpeg");
    });
    server.Post("/api/withdraw", [](const httplib::Request& request, httplib::Response& response) {
        std::string code;
        if (!form_value(request, "code", &code) || code.empty()) {
            send_json(response, result_json(QX_ERR_ARGUMENT).add("problem", "code is required").text(), 400);
            return;
        }
        int result;
        {
            std::lock_guard<std::mutex> hold(library_lock());
            result = qx_ai_setnorecommend(code.c_str());
        }
        send_json(response, result_json(result).add("samples", learned_samples(code)).text());
    });
    server.Get("/api/export", [](const httplib::Request&, httplib::Response& response) {
        char path[4096] = "";
        int result;
        std::string bytes;
        {
            std::lock_guard<std::mutex> hold(library_lock());
            result = ExportData(path);
            if (result == QX_OK) bytes = file_bytes(path);
        }
        if (result != QX_OK) {
            send_json(response, result_json(result).text(), 500);
            return;
        }
        response.set_header("Content-Disposition", "attachment; filename=\"learned-data.db\"");
        response.set_content(bytes, "application/octet-stream");
    });
    server.Post("/api/import", [](const httplib::Request& request, httplib::Response& response) {
        if (!request.has_file("file") || request.get_file_value("file").content.empty()) {
            send_json(response, result_json(QX_ERR_ARGUMENT).add("problem", "choose an exported file").text(), 400);
            return;
        }
        // The upload lands under a name of the server's choosing, never the sender's.
        const char* upload = "qxvisor-import.db";
        // A link there would have the upload overwrite a file outside the folder.
        if (fs::is_symlink(fs::symlink_status(upload))) {
            std::fprintf(stderr, "qxvisor serve: %s is a symbolic link, upload refused\n", upload);
            send_json(response, result_json(QX_ERR_DATA_FILE).add("problem", "qxvisor-import.db is a symbolic link").text(), 500);
            return;
        }
        {
            std::ofstream file(upload, std::ios::binary | std::ios::trunc);
            const std::string& content = request.get_file_value("file").content;
            file.write(content.data(), static_cast<std::streamsize>(content.size()));
        }
        int result;
        {
            std::lock_guard<std::mutex> hold(library_lock());
            result = ImportData(upload);
        }
        std::error_code ignored;
        fs::remove(upload, ignored);
        send_json(response, result_json(result).add("samples", learned_samples()).text());
    });
}
