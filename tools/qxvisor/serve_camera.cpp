// The set-up page's camera, crop and trial-recognition calls.
#include "qxvisor/cli.h"
#include "qxvisor/serve.h"
#include "qxvisor/serve_guard.h"

#include <httplib.h>
#include <qx_ai.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <filesystem>
#include <set>

namespace fs = std::filesystem;

namespace {

std::set<std::string> photo_names() {
    std::set<std::string> names;
    std::error_code error;
    for (fs::directory_iterator it("QXPhoto", error), end; !error && it != end; it.increment(error))
        names.insert(it->path().filename().string());
    return names;
}

struct Snapshot {
    std::string frame, crop;
    std::chrono::steady_clock::time_point taken;
};

std::mutex snapshot_lock;
Snapshot snapshot;

// A camera picture from the library's quiet query: no file, no log line.
std::string quiet_picture(int crop) {
    std::string bytes(512 << 10, '\0');
    for (int tries = 0; tries < 3; ++tries) {
        int size = qx_tool_picture(crop, &bytes[0], static_cast<int>(bytes.size()));
        if (size <= 0) return "";
        if (static_cast<size_t>(size) <= bytes.size()) {
            bytes.resize(static_cast<size_t>(size));
            return bytes;
        }
        bytes.assign(static_cast<size_t>(size), '\0');
    }
    return "";
}

// The current frame and crop, taken at most every 150 ms however many
// requests ask.
Snapshot current_snapshot() {
    std::lock_guard<std::mutex> hold(snapshot_lock);
    auto now = std::chrono::steady_clock::now();
    if (now - snapshot.taken > std::chrono::milliseconds(150)) {
        snapshot.frame = quiet_picture(0);
        snapshot.crop = quiet_picture(1);
        snapshot.taken = now;
    }
    return snapshot;
}

void send_picture(httplib::Response& response, const std::string& bytes) {
    response.set_header("Cache-Control", "no-store");
    if (bytes.empty()) {
        response.status = 404;
        response.set_content("no picture: the camera is not capturing, or no crop area is set", "text/plain");
        return;
    }
    response.set_content(bytes, "image/jpeg");
}

// Reads four integer fields into v; false (and the answer sent) when one is missing or not a number.
bool int_fields(const httplib::Request& request, httplib::Response& response, const std::vector<std::string>& names,
                std::vector<int>& v) {
    for (const std::string& name : names) {
        std::string text;
        int value = 0;
        if (!form_value(request, name, &text) || !parse_int(text, &value)) {
            send_json(response, result_json(QX_ERR_ARGUMENT).add("problem", name + " must be a whole number").text(), 400);
            return false;
        }
        v.push_back(value);
    }
    return true;
}

struct Recognition {
    std::string session;
    std::vector<std::string> codes;
    std::string confirmed;  // the code it was confirmed as, "" until then
};
std::mutex recognition_lock;
std::deque<Recognition> recognitions;  // the newest few, for the hit flag of a confirmation
std::string recognition_picture;

}  // namespace

void add_camera_routes(httplib::Server& server) {
    server.Get("/api/camera", [](const httplib::Request&, httplib::Response& response) {
        int x = 0, y = 0, w = 0, h = 0;
        {
            std::lock_guard<std::mutex> hold(library_lock());
            GetScaleSetting(&x, &y, &w, &h);
        }
        std::string crop = JsonObject().add("x", x).add("y", y).add("width", w).add("height", h).text();
        send_json(response, JsonObject().add_raw("crop", crop).add("camera", stored_camera_number()).text());
    });
    server.Get("/api/frame.jpg", [](const httplib::Request&, httplib::Response& response) {
        send_picture(response, current_snapshot().frame);
    });
    server.Get("/api/crop.jpg", [](const httplib::Request&, httplib::Response& response) {
        send_picture(response, current_snapshot().crop);
    });
    server.Post("/api/crop", [](const httplib::Request& request, httplib::Response& response) {
        std::vector<int> v;
        if (!int_fields(request, response, {"x", "y", "width", "height"}, v)) return;
        int result;
        {
            std::lock_guard<std::mutex> hold(library_lock());
            result = SaveScaleSetting(v[0], v[1], v[2], v[3]);
        }
        JsonObject answer = result_json(result);
        explain_failure(answer, result, "the rectangle was not stored", false);
        std::lock_guard<std::mutex> hold(snapshot_lock);
        snapshot.taken = {};  // the next crop picture shows the new rectangle
        send_json(response, answer.text());
    });
    server.Post("/api/camera", [](const httplib::Request& request, httplib::Response& response) {
        std::vector<int> v;
        if (!int_fields(request, response, {"number"}, v)) return;
        int result;
        {
            std::lock_guard<std::mutex> hold(library_lock());
            result = qx_ai_reopencamera(v[0]);
        }
        JsonObject answer = result_json(result);
        if (result == QX_ERR_CAMERA_OPEN) answer.add("problem", "camera " + std::to_string(v[0]) + " cannot be opened");
        send_json(response, answer.text());
    });
    server.Post("/api/detect", [](const httplib::Request&, httplib::Response& response) {
        char codes[QX_CODES_SIZE] = "", session[QX_SESSION_SIZE] = "";
        int result;
        std::string picture;
        {
            std::lock_guard<std::mutex> hold(library_lock());
            std::set<std::string> before = photo_names();
            result = AutoDetect(codes, session);
            // The crop of this recognition, when dev.ini's saveImage keeps it;
            // otherwise the same tray a moment later.
            for (const std::string& name : photo_names())
                if (!before.count(name) && name.compare(0, 3, "raw") != 0) picture = file_bytes("QXPhoto/" + name);
        }
        if (result == QX_OK && picture.empty()) picture = quiet_picture(1);
        JsonObject answer = result_json(result);
        std::vector<std::string> candidates;
        std::vector<std::string> list = split_codes(codes);
        const std::map<std::string, std::string> names = catalogue_names({list.begin(), list.end()});
        for (size_t i = 0; i < list.size(); ++i) {
            auto name = names.find(list[i]);
            candidates.push_back(JsonObject().add("rank", static_cast<int>(i + 1)).add("code", list[i])
                                     .add("name", name == names.end() ? "" : name->second).text());
        }
        answer.add("session", session).add_raw("candidates", json_array(candidates));
        explain_failure(answer, result, list.empty() ? "nothing can be recognised" : "this recognition cannot be taught");
        if (result == QX_OK) {
            std::lock_guard<std::mutex> hold(recognition_lock);
            recognitions.push_back({session, list, ""});
            if (recognitions.size() > 20) recognitions.pop_front();
            recognition_picture = picture;
        }
        send_json(response, answer.text());
    });
    server.Get("/api/recognition.jpg", [](const httplib::Request&, httplib::Response& response) {
        std::lock_guard<std::mutex> hold(recognition_lock);
        send_picture(response, recognition_picture);
    });
    server.Post("/api/confirm", [](const httplib::Request& request, httplib::Response& response) {
        std::string code, session, fresh;
        if (!form_value(request, "code", &code) || !form_value(request, "session", &session) || code.empty()) {
            send_json(response, result_json(QX_ERR_ARGUMENT).add("problem", "code and session are required").text(), 400);
            return;
        }
        bool is_new = form_value(request, "new", &fresh) && fresh == "1";
        bool hit = false, offered = false;
        {
            // One confirmation per recognition: the second would learn the same
            // picture again, perhaps under another product.
            std::lock_guard<std::mutex> hold(recognition_lock);
            for (Recognition& r : recognitions) {
                if (r.session != session) continue;
                if (!r.confirmed.empty()) {
                    send_conflict(response, QX_ERR_ARGUMENT, "this recognition was already confirmed as " + r.confirmed +
                                                                 "; recognise again to teach another sample");
                    return;
                }
                hit = !r.codes.empty() && r.codes[0] == code;
                offered = std::find(r.codes.begin(), r.codes.end(), code) != r.codes.end();
                r.confirmed = code;  // taken now, so that a parallel click is refused too
            }
        }
        auto release = [&] {
            std::lock_guard<std::mutex> hold(recognition_lock);
            for (Recognition& r : recognitions)
                if (r.session == session && r.confirmed == code) r.confirmed.clear();
        };
        std::string name = catalogue_name(code);
        // A code typed in, not offered: it must be a product of the catalogue,
        // unless the technician says it is a new one.
        if (!offered && name.empty() && !is_new) {
            release();
            send_json(response, result_json(QX_ERR_ARGUMENT).add("problem", "the catalogue has no product " + code +
                                    "; tick \"new product\" to teach it anyway").text(), 400);
            return;
        }
        int before = learned_samples(code);
        int result;
        {
            std::lock_guard<std::mutex> hold(library_lock());
            result = SetFeedBack(code.c_str(), session.c_str(), hit, name.c_str());
        }
        if (result != QX_OK) release();
        int after = learned_samples(code);
        JsonObject answer = result_json(result);
        explain_failure(answer, result, "nothing was learned");
        send_json(response, answer.add("hit", hit).add("learned", after > before).add("samples", after).add("name", name).text());
    });
}
