// The per-product picture store under pic_data: the ten newest tray pictures
// of every product that the cashier confirmed.
#include "camera/camhp.h"

#include "support/log.h"
#include "support/tools.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr int kPictureSide = 224;
constexpr size_t kPicturesKept = 10;

std::string field_text(const char (&field)[260]) { return std::string(field, strnlen(field, sizeof field)); }

// The names this store gives: a millisecond count of 13 digits (the years 2001
// to 2286) and ".jpg". Names of equal length sort by time.
bool is_stored_picture_name(const std::string& name) {
    static const std::string suffix = ".jpg";
    constexpr size_t kDigits = 13;
    return name.size() == kDigits + suffix.size() && name.compare(kDigits, suffix.size(), suffix) == 0 &&
           std::all_of(name.begin(), name.begin() + kDigits, [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

void camhp_save_commodity_pic(_CAMHP_IMAGE_* image) {
    if (!image) return;
    const std::string crop_path = field_text(image->crop_path);
    if (crop_path.empty()) return;
    const std::string code = field_text(image->commodity_code);
    if (!tool_code_is_safe_folder(code)) {
        logger->info("commodity code refused as a folder name:{}", code);
        return;
    }
    // The recognition's picture lies in QXPhoto, open to anyone: a FIFO put
    // in its place would hold the reader in open() for ever.
    struct stat status;
    if (stat(crop_path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        logger->info("picture not filed, not a regular file:{}", crop_path);
        return;
    }
    try {
        const cv::Mat picture = cv::imread(crop_path, cv::IMREAD_COLOR);
        if (picture.empty()) return;
        cv::Mat small;
        cv::resize(picture, small, cv::Size(kPictureSide, kPictureSide), 0, 0, cv::INTER_AREA);

        const std::string store = tool_get_dll_path() + "pic_data";
        const std::string folder = store + "/" + code;
        // A planted link must not carry the deletion and the picture elsewhere.
        if (!tool_own_folder(store) || !tool_own_folder(folder)) {
            logger->info("picture folder refused, not a folder of its own:{}", folder);
            return;
        }

        // Listed with the library's own readdir: OpenCV's glob is built without
        // large-file support on 32-bit Arm and fails on 64-bit directory offsets.
        // Only the store's own pictures count and go: a technician's photos
        // in the folder (folder learning reads it too) are left alone.
        std::vector<std::string> entries, pictures;
        tools_get_files(folder, entries);
        for (const std::string& entry : entries) {
            struct stat status;
            if (is_stored_picture_name(entry.substr(folder.size() + 1)) && lstat(entry.c_str(), &status) == 0 &&
                S_ISREG(status.st_mode))
                pictures.push_back(entry);
        }
        const long long now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count();
        // The first in byte order is the oldest.
        if (pictures.size() >= kPicturesKept) {
            std::sort(pictures.begin(), pictures.end());
            std::remove(pictures.front().c_str());
        }
        char name[32];
        std::snprintf(name, sizeof name, "/%lld.jpg", now_ms);
        std::vector<unsigned char> jpeg;
        if (!cv::imencode(".jpg", small, jpeg) ||
            !tool_write_file_atomic(folder + name, std::string(jpeg.begin(), jpeg.end())))
            logger->info("commodity picture not stored:{}", folder + name);
    } catch (const cv::Exception& e) {
        // The store is a by-product of feedback: its failures never fail the feedback.
        logger->info("commodity picture not stored:{}", e.what());
    }
}
