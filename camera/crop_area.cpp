// The crop rectangle and its file, the choice of the sharpest frame, and the
// time-named pictures under the photo folder.
#include "camera/camhp.h"

#include "support/alg.h"
#include "support/json.h"
#include "support/log.h"
#include "support/tools.h"

#include <opencv2/imgcodecs.hpp>

#include <rapidjson/document.h>
#include <rapidjson/pointer.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

// In 64 bits: a product of two large ints must not wrap to 0.
bool rect_is_set(const _CAMHP_CAP_* cap) { return static_cast<long long>(cap->width) * cap->height != 0; }

bool rect_inside(const cv::Mat& frame, const cv::Rect& rect) {
    return rect.width > 0 && rect.height > 0 && rect.x >= 0 && rect.y >= 0 &&
           static_cast<long long>(rect.x) + rect.width <= frame.cols &&
           static_cast<long long>(rect.y) + rect.height <= frame.rows;
}

void copy_path(char (&out)[260], const std::string& path) { std::snprintf(out, sizeof out, "%s", path.c_str()); }

}  // namespace

int camhp_read_setting_from_file(_CAMHP_CAP_* cap) {
    rapidjson::Document document;
    bool opened = false;
    const bool parsed = json_parse_file(cap->coordinate_path, document, &opened);
    if (!opened) {
        logger->info("read coordinate error");
        return -1;
    }

    // Whatever the file holds, a member that is not a plain integer reads as 0.
    auto member = [&document, parsed](const char* pointer) {
        if (!parsed) return 0;
        const rapidjson::Value* value = rapidjson::Pointer(pointer).Get(document);
        return value && value->IsInt() ? value->GetInt() : 0;
    };
    cap->x = member("/x");
    cap->y = member("/y");
    cap->width = member("/width");
    cap->height = member("/height");
    cap->camera_num = member("/cameraNum");
    return 0;
}

int camhp_write_setting_from_file(_CAMHP_CAP_* cap) {
    rapidjson::Document document;
    if (rect_is_set(cap)) {
        rapidjson::Pointer("/x").Set(document, cap->x);
        rapidjson::Pointer("/y").Set(document, cap->y);
        rapidjson::Pointer("/width").Set(document, cap->width);
        rapidjson::Pointer("/height").Set(document, cap->height);
    }
    rapidjson::Pointer("/cameraNum").Set(document, cap->camera_num);

    rapidjson::StringBuffer text;
    rapidjson::Writer<rapidjson::StringBuffer> writer(text);
    document.Accept(writer);
    // Replaced in one step: a power cut mid-write must not cost the crop area.
    if (!tool_write_file_atomic(cap->coordinate_path, std::string(text.GetString(), text.GetSize()))) {
        logger->info("write coordinate error:{}", cap->coordinate_path);
        return -1;
    }
    return 0;
}

int camhp_pick_sharpest(const cv::Mat* copies, int count, const cv::Rect& rect, float* score) {
    std::vector<float> scores;
    std::vector<int> slots;
    for (int k = 0; k < count; ++k) {
        const cv::Mat& copy = copies[k];
        if (copy.empty() || copy.type() != CV_8UC3 || !rect_inside(copy, rect)) continue;
        scores.push_back(alg_tenengrad_blur_detect(copy(rect)));
        slots.push_back(k);
    }
    if (scores.empty()) return -1;
    int index = 0;
    float maximum = 0.0f;
    alg_max(scores.data(), static_cast<int>(scores.size()), &index, &maximum);
    if (score) *score = maximum;
    return slots[index];
}

cv::Mat camhp_get_scale_bitmap(_CAMHP_CAP_* cap, _CAMHP_IMAGE_* image) {
    if (!camhp_is_open(cap) || !cap->capture_running) {
        logger->info("The camera open failed!");
        return cv::Mat();
    }
    // One consistent copy per slot; everything below works on the copies only.
    std::vector<cv::Mat> copies(cap->frame_count > 0 ? cap->frame_count : 0);
    for (int k = 0; k < static_cast<int>(copies.size()); ++k) copies[k] = camhp_copy_slot(cap, k);

    // The whole frame is slot 0's, or the first slot holding one while the ring fills.
    int raw = -1;
    for (int k = 0; k < static_cast<int>(copies.size()) && raw < 0; ++k)
        if (!copies[k].empty()) raw = k;
    if (raw < 0) {
        logger->info("no camera frame yet");
        return cv::Mat();
    }
    _CAMHP_MAT_INFO_ whole;
    whole.mat = copies[raw];
    whole.is_raw = true;
    const std::string raw_path = camhp_save_img(cap, &whole);
    if (image) copy_path(image->raw_path, raw_path);

    if (!rect_is_set(cap)) {
        logger->info("rect area empty");
        return cv::Mat();
    }
    const cv::Rect rect(cap->x, cap->y, cap->width, cap->height);
    const int best = camhp_pick_sharpest(copies.data(), static_cast<int>(copies.size()), rect, nullptr);
    if (best < 0) {
        logger->info("rect area outside the camera frame x={},y={},w={},h={}", cap->x, cap->y, cap->width,
                     cap->height);
        return cv::Mat();
    }
    cv::Mat crop = copies[best](rect).clone();
    if (cap->save_image) {
        _CAMHP_MAT_INFO_ cropped;
        cropped.mat = crop;
        cropped.is_raw = false;
        const std::string crop_path = camhp_save_img(cap, &cropped);
        if (image) copy_path(image->crop_path, crop_path);
    }
    return crop;
}

std::string camhp_picture_name(const std::string& folder, bool is_raw, const std::tm& when, int millisecond,
                               unsigned long sequence) {
    // Every field padded, so that names sort by time; the run's sequence number
    // keeps two pictures of the same millisecond apart.
    char name[128];
    std::snprintf(name, sizeof name, "/%s%04d%02d%02d%02d%02d%02d%03d_%06lu.jpg", is_raw ? "raw" : "",
                  when.tm_year + 1900, when.tm_mon + 1, when.tm_mday, when.tm_hour + 8, when.tm_min, when.tm_sec,
                  millisecond, sequence);
    return folder + name;
}

std::string camhp_save_img(_CAMHP_CAP_* cap, _CAMHP_MAT_INFO_* info) {
    static std::atomic<unsigned long> sequence{0};
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const int millisecond = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    const std::string path = camhp_picture_name(cap->qxphoto_path, info->is_raw, local, millisecond, ++sequence);
    if (!tool_own_folder(cap->qxphoto_path)) {
        logger->info("photo folder refused, not a folder of its own:{}", cap->qxphoto_path);
        return std::string();
    }
    // Init empties the folder at every start: a picture here need not survive a
    // power cut, so it is not flushed on the caller's thread.
    bool written = false;
    try {
        std::vector<unsigned char> jpeg;
        written = !info->mat.empty() && cv::imencode(".jpg", info->mat, jpeg) &&
                  tool_write_file_atomic(path, std::string(jpeg.begin(), jpeg.end()), QxDurability::kUnflushed);
    } catch (const cv::Exception&) {
        written = false;
    }
    if (!written) {
        logger->info("save picture failed:{}", path);
        return std::string();
    }
    return path;
}
