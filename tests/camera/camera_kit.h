#pragma once
// Simulated camera sources made of real grocery photos, and the log of a test.
#include "testkit/temp_dir.h"

#include <opencv2/core.hpp>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

// A 640 x 480 frame: the photo in the middle of a plain grey tray.
cv::Mat tray_frame(const std::string& grocery_photo);
// The same frame, out of focus.
cv::Mat blurred(const cv::Mat& frame);
// Writes frames as folder/000.jpg, 001.jpg, ... and returns "folder/%03d.jpg".
std::string write_sequence(const std::string& folder, const std::vector<cv::Mat>& frames);
// Writes frames as a Motion-JPEG video at `path`.
void write_video(const std::string& path, const std::vector<cv::Mat>& frames);

// Everything the library logged in this test's working directory so far.
std::string log_text();
// Times `text` occurs in the log.
int log_count(const std::string& text);

// Polls `done` until it holds or `limit` passes; whether it held.
bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(20));

// Sets QX_CAMERA_SOURCE for the life of the object (unset when `source` is empty).
class CameraSource {
public:
    explicit CameraSource(const std::string& source);
    ~CameraSource();
};

// A test in a fresh folder whose log is written through at once.
class CameraTest : public TempDirTest {
protected:
    void SetUp() override;
    // Four different tray frames of real photos, as an image sequence. Four, so
    // that each ring slot sees a different frame on every round.
    std::string photo_sequence();
};

extern const char* const kBanana;
extern const char* const kApple;
extern const char* const kCarrots;
