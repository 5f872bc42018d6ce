// The set-up page's learned products: sample counts, filed pictures,
// withdrawal, export and import.
#include "qxvisor/cli.h"
#include "qxvisor/serve.h"
#include "qxvisor/serve_guard.h"

#include <httplib.h>
#include <qx_ai.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace fs = std::filesystem;

namespace {

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

// An upload's file in the working folder, removed when it goes out of scope.
class Upload {
public:
    Upload() {
        char name[] = "qxvisor-import-XXXXXX";
        fd_ = mkstemp(name);
        if (fd_ >= 0) path_ = name;
    }
    ~Upload() {
        if (fd_ >= 0) close(fd_);
        if (!path_.empty()) unlink(path_.c_str());
    }
    Upload(const Upload&) = delete;
    Upload& operator=(const Upload&) = delete;
    bool ok() const { return fd_ >= 0; }
    const std::string& path() const { return path_; }
    bool write(const char* data, size_t length) {
        while (length > 0) {
            ssize_t n = ::write(fd_, data, length);
            if (n <= 0) return false;
            data += n;
            length -= static_cast<size_t>(n);
        }
        return true;
    }

private:
    int fd_ = -1;
    std::string path_;
};

}  // namespace

std::string file_bytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

void add_product_routes(httplib::Server& server) {
    server.Get("/api/products", [](const httplib::Request&, httplib::Response& response) {
        std::map<std::string, int> counts = samples_per_code(library_status());
        std::error_code error;
        for (fs::directory_iterator it("pic_data", error), end; !error && it != end; it.increment(error))
            if (it->is_directory() && plain_name(it->path().filename().string())) counts.emplace(it->path().filename().string(), 0);
        std::set<std::string> codes;
        for (const auto& entry : counts) codes.insert(entry.first);
        const std::map<std::string, std::string> names = catalogue_names(codes);
        std::vector<std::string> products;
        for (const auto& [code, samples] : counts) {
            std::vector<std::string> pictures;
            for (const std::string& name : filed_pictures(code)) pictures.push_back(json_text(name));
            auto name = names.find(code);
            products.push_back(JsonObject().add("code", code).add("name", name == names.end() ? "" : name->second).add("samples", samples)
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
        JsonObject answer = result_json(result);
        explain_failure(answer, result, "nothing was withdrawn");
        send_json(response, answer.add("samples", learned_samples(code)).text());
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
            JsonObject answer = result_json(result);
            explain_failure(answer, result, "nothing was exported");
            send_json(response, answer.text(), 500);
            return;
        }
        response.set_header("Content-Disposition", "attachment; filename=\"learned-data.db\"");
        response.set_content(bytes, "application/octet-stream");
    });
    server.Post("/api/import", [](const httplib::Request& request, httplib::Response& response,
                                  const httplib::ContentReader& reader) {
        // Each upload streams into a file of its own, named by the server and
        // created new (never through a link), so parallel uploads never meet.
        Upload upload;
        bool in_file = false, seen = false, too_large = false, written = upload.ok();
        size_t size = 0;
        auto receive = [&](const char* data, size_t length) {
            if (!in_file) return true;
            size += length;
            too_large = size > kUploadLimit;
            written = written && !too_large && upload.write(data, length);
            return written;
        };
        if (request.is_multipart_form_data()) {
            reader([&](const httplib::MultipartFormData& part) {
                in_file = part.name == "file";
                seen = seen || in_file;
                return true;
            }, receive);
        }
        if (too_large) {
            send_json(response, result_json(QX_ERR_DATA_FILE).add("problem", "the file is larger than " +
                                    std::to_string(kUploadLimit >> 20) + " MB; the learned data in use was kept").text(), 413);
            return;
        }
        if (!seen || size == 0) {
            send_json(response, result_json(QX_ERR_ARGUMENT).add("problem", "choose an exported file").text(), 400);
            return;
        }
        if (!written) {
            send_json(response, result_json(QX_ERR_DATA_FILE).add("problem", "the upload could not be stored; the learned data in use was kept").text(), 500);
            return;
        }
        int result;
        {
            std::lock_guard<std::mutex> hold(library_lock());
            result = ImportData(upload.path().c_str());
        }
        JsonObject answer = result_json(result);
        if (result != QX_OK && !explain_failure(answer, result, "the file could not take the learned data's place"))
            answer.add("problem", "the file was refused; the learned data in use was kept");
        send_json(response, answer.add("samples", learned_samples()).text());
    });
}
