#pragma once
// Camera context, capture thread, crop area and picture store.
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <string>

struct _CAMHP_CAP_ {
    cv::VideoCapture cap;
    cv::Mat* frames = nullptr;
    int frame_count = 0;
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    int camera_num = 2;
    std::string coordinate_path;
    std::string qxphoto_path;
    bool capture_running = false;
    bool save_image = false;
};

struct _CAMHP_IMAGE_ {
    char commodity_code[260];
    char raw_path[260];
    char crop_path[260];
};

struct _CAMHP_MAT_INFO_ {
    cv::Mat mat;
    bool is_raw = false;
};

void camhp_init(_CAMHP_CAP_* cap);
void camhp_close(_CAMHP_CAP_* cap);
int camhp_read_setting_from_file(_CAMHP_CAP_* cap);
