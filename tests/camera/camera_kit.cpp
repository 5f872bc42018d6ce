#include "camera_kit.h"

#include "support/log.h"
#include "testkit/files.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <sys/stat.h>

#include <cstdlib>
#include <thread>

const char* const kBanana = "data/grocery/train/Fruit/Banana/Banana_001.jpg";
const char* const kApple = "data/grocery/train/Fruit/Apple/Golden-Delicious/Golden-Delicious_001.jpg";
const char* const kCarrots = "data/grocery/train/Vegetables/Carrots/Carrots_001.jpg";

cv::Mat tray_frame(const std::string& grocery_photo) {
    cv::Mat photo = cv::imread(shared_path(grocery_photo), cv::IMREAD_COLOR);
    if (photo.empty()) throw std::runtime_error("missing photo " + grocery_photo);
    cv::Mat frame(480, 640, CV_8UC3, cv::Scalar(120, 120, 120));
    cv::Mat fitted;
    cv::resize(photo, fitted, cv::Size(340, 340), 0, 0, cv::INTER_AREA);
    fitted.copyTo(frame(cv::Rect(150, 70, 340, 340)));
    return frame;
}

cv::Mat blurred(const cv::Mat& frame) {
    cv::Mat out;
    cv::GaussianBlur(frame, out, cv::Size(15, 15), 5.0);
    return out;
}

std::string write_sequence(const std::string& folder, const std::vector<cv::Mat>& frames) {
    mkdir(folder.c_str(), 0700);
    for (size_t i = 0; i < frames.size(); ++i) cv::imwrite(cv::format("%s/%03d.jpg", folder.c_str(), (int)i), frames[i]);
    return folder + "/%03d.jpg";
}

void write_video(const std::string& path, const std::vector<cv::Mat>& frames) {
    cv::VideoWriter writer(path, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 30, frames.at(0).size());
    if (!writer.isOpened()) throw std::runtime_error("cannot write " + path);
    for (const cv::Mat& frame : frames) writer << frame;
}

std::string log_text() {
    std::string text;
    for (const std::string& name : list_dir("tmp")) text += read_file("tmp/" + name);
    return text;
}

int log_count(const std::string& text) {
    const std::string log = log_text();
    int count = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + text.size())) ++count;
    return count;
}

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

CameraSource::CameraSource(const std::string& source) {
    if (source.empty())
        unsetenv("QX_CAMERA_SOURCE");
    else
        setenv("QX_CAMERA_SOURCE", source.c_str(), 1);
}

CameraSource::~CameraSource() { unsetenv("QX_CAMERA_SOURCE"); }

void CameraTest::SetUp() {
    TempDirTest::SetUp();
    log_flush_every_message();
}

std::string CameraTest::photo_sequence() {
    return write_sequence("frames", {tray_frame(kBanana), tray_frame(kApple), tray_frame(kCarrots),
                                     blurred(tray_frame(kApple))});
}
