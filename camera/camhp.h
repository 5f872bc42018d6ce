#pragma once
// Camera context, capture thread, crop area and picture store.
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <atomic>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>

// The camera context. Embedded in the library context as `cam`.
//
// Hand-over between the capture thread and its callers: while the thread runs,
// it alone touches `cap`; each ring slot changes only under its lock in
// `frame_locks`, and readers copy a slot out under the same lock. Whoever
// releases, reopens or closes the camera, or re-initialises the context, first
// stops the thread and joins it, so no read runs on a released camera and no
// slot is touched once the ring is gone.
struct _CAMHP_CAP_ {
    _CAMHP_CAP_() = default;
    ~_CAMHP_CAP_();
    _CAMHP_CAP_(const _CAMHP_CAP_&) = delete;
    _CAMHP_CAP_& operator=(const _CAMHP_CAP_&) = delete;

    cv::VideoCapture cap;
    cv::Mat* frames = nullptr;  // ring of frame_count slots
    int frame_count = 0;
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    int camera_num = 2;
    std::string coordinate_path;
    std::string qxphoto_path;
    std::atomic<bool> capture_running{false};
    bool save_image = false;

    std::mutex* frame_locks = nullptr;      // one per ring slot
    std::thread capture_thread;             // joined, never detached
    std::atomic<bool> capture_stop{false};  // asks the thread to leave its loop
    // Whether `cap` is open, readable by callers while the thread owns `cap`.
    std::atomic<bool> camera_opened{false};
    // The simulated camera in use (QX_CAMERA_SOURCE); empty for a device.
    std::string source;
    // Steady-clock milliseconds of the opening and of the newest frame read
    // since (0: none yet), so that a camera that stops delivering is told
    // apart from one that captures.
    std::atomic<long long> opened_ms{0};
    std::atomic<long long> newest_frame_ms{0};
};

// The picture paths of one recognition or feedback.
struct _CAMHP_IMAGE_ {
    char commodity_code[260];
    char raw_path[260];
    char crop_path[260];
};

// A picture to be saved under the photo folder.
struct _CAMHP_MAT_INFO_ {
    cv::Mat mat;
    bool is_raw = false;
};

// Frames the crop area is measured in.
constexpr int CAMHP_FRAME_WIDTH = 640;
constexpr int CAMHP_FRAME_HEIGHT = 480;

// Capture.
void camhp_init(_CAMHP_CAP_* cap);
int camhp_open_camera(_CAMHP_CAP_* cap);
void camhp_get_now_mat(_CAMHP_CAP_* cap);
// Stops the capture thread, waits for it and releases the camera; the ring stays.
void camhp_release_camera(_CAMHP_CAP_* cap);
void camhp_close(_CAMHP_CAP_* cap);
bool camhp_is_open(const _CAMHP_CAP_* cap);
// Milliseconds since the newest frame arrived (since the opening when none
// has), -1 when the camera is not open.
long long camhp_picture_age_ms(const _CAMHP_CAP_* cap);
// A consistent deep copy of ring slot `slot` (empty when it holds no frame).
cv::Mat camhp_copy_slot(_CAMHP_CAP_* cap, int slot);

// Crop area and scale bitmap.
int camhp_read_setting_from_file(_CAMHP_CAP_* cap);
// 0, or -1 (logged) when the file could not be replaced.
int camhp_write_setting_from_file(_CAMHP_CAP_* cap);
cv::Mat camhp_get_scale_bitmap(_CAMHP_CAP_* cap, _CAMHP_IMAGE_* image);
// The path written, or empty (logged) when the picture could not be saved.
std::string camhp_save_img(_CAMHP_CAP_* cap, _CAMHP_MAT_INFO_* info);
// Index of the copy whose `rect` region is sharpest (the first of equals), or -1
// when no copy holds a frame that contains the whole rectangle.
int camhp_pick_sharpest(const cv::Mat* copies, int count, const cv::Rect& rect, float* score);
// The time-named file of the run's `sequence`-th picture, taken at local time
// `when` and `millisecond`: unique within the run and sorting by time.
std::string camhp_picture_name(const std::string& folder, bool is_raw, const std::tm& when, int millisecond,
                               unsigned long sequence);

// Commodity picture store.
void camhp_save_commodity_pic(_CAMHP_IMAGE_* image);
