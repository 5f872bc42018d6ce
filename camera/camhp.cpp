// The camera context and its capture thread.
#include "camera/camhp.h"

#include "support/log.h"
#include "support/tools.h"

#include <opencv2/imgproc.hpp>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <set>

namespace {

constexpr int kRingSlots = 3;
constexpr double kCameraFps = 30.0;
// Failed reads wait this long, doubling up to the longest pause.
constexpr std::chrono::milliseconds kFirstFailurePause(1);
constexpr std::chrono::milliseconds kLongestFailurePause(512);

// A simulated source plays at the pace a camera delivers, not as fast as it decodes.
constexpr std::chrono::microseconds kSimulatedFramePeriod(static_cast<long>(1e6 / kCameraFps));

void set_capture_properties(cv::VideoCapture& capture) {
    capture.set(cv::CAP_PROP_FRAME_WIDTH, CAMHP_FRAME_WIDTH);
    capture.set(cv::CAP_PROP_FRAME_HEIGHT, CAMHP_FRAME_HEIGHT);
    capture.set(cv::CAP_PROP_FPS, kCameraFps);
}

bool is_image_sequence(const std::string& source) { return source.find('%') != std::string::npos; }

// Named back ends only: letting OpenCV try all of them on a name that opens
// nowhere walks through USB and FireWire camera libraries that leak memory on
// every attempt (and would read a file name as a GStreamer pipeline).
bool open_source(cv::VideoCapture& capture, const std::string& source) {
    return capture.open(source, is_image_sequence(source) ? cv::CAP_IMAGES : cv::CAP_FFMPEG);
}

// The scale's camera is a V4L2 device; see open_source for why no other back end is tried.
#ifdef __linux__
constexpr int kDeviceBackend = cv::CAP_V4L2;
#else
constexpr int kDeviceBackend = cv::CAP_ANY;
#endif

// Contexts whose capture thread may still run. A host that exits without Close
// must not have the thread reading frames or logging while the process takes
// down the objects it uses; the exit handler stops them first.
std::mutex g_capturing_mutex;
std::set<_CAMHP_CAP_*> g_capturing;

void stop_all_at_exit() {
    std::set<_CAMHP_CAP_*> capturing;
    {
        std::lock_guard<std::mutex> lock(g_capturing_mutex);
        capturing.swap(g_capturing);
    }
    for (_CAMHP_CAP_* cap : capturing) {
        cap->capture_stop = true;
        if (cap->capture_thread.joinable()) cap->capture_thread.join();
    }
}

void start_capture_thread(_CAMHP_CAP_* cap) {
    static const bool exit_handler = std::atexit(stop_all_at_exit) == 0;
    (void)exit_handler;
    {
        std::lock_guard<std::mutex> lock(g_capturing_mutex);
        g_capturing.insert(cap);
    }
    cap->capture_thread = std::thread(camhp_get_now_mat, cap);
}

void stop_capture_thread(_CAMHP_CAP_* cap) {
    {
        std::lock_guard<std::mutex> lock(g_capturing_mutex);
        g_capturing.erase(cap);
    }
    if (!cap->capture_thread.joinable()) return;
    cap->capture_stop = true;
    cap->capture_thread.join();
    cap->capture_stop = false;
}

void free_ring(_CAMHP_CAP_* cap) {
    delete[] cap->frames;
    delete[] cap->frame_locks;
    cap->frames = nullptr;
    cap->frame_locks = nullptr;
    cap->frame_count = 0;
}

// Reads the next frame of the simulated source, starting it over at its end.
// `played` counts the frames of an image sequence, whose length is exact, so
// that it restarts before reading past its last file.
bool read_simulated(_CAMHP_CAP_* cap, cv::Mat& frame, long& played) {
    if (is_image_sequence(cap->source)) {
        const double length = cap->cap.get(cv::CAP_PROP_FRAME_COUNT);
        if (length > 0 && played >= static_cast<long>(length)) {
            cap->cap.set(cv::CAP_PROP_POS_FRAMES, 0);
            played = 0;
        }
    }
    if (cap->cap.read(frame) && !frame.empty()) {
        ++played;
        return true;
    }
    cap->cap.set(cv::CAP_PROP_POS_FRAMES, 0);
    played = 0;
    if (cap->cap.read(frame) && !frame.empty()) {
        ++played;
        return true;
    }
    // Some containers cannot seek: open the source afresh.
    open_source(cap->cap, cap->source);
    if (cap->cap.isOpened() && cap->cap.read(frame) && !frame.empty()) {
        ++played;
        return true;
    }
    frame.release();
    return false;
}

// Sleeps `pause` in short steps, so that a stop request is served promptly.
void pause_unless_stopped(_CAMHP_CAP_* cap, std::chrono::milliseconds pause) {
    const auto until = std::chrono::steady_clock::now() + pause;
    while (!cap->capture_stop && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::min(pause, std::chrono::milliseconds(10)));
}

long long steady_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The crop area is measured in 640 x 480 frames, whatever the source delivers.
void fit_frame(cv::Mat& frame, cv::Mat& scaled) {
    if (frame.empty() || (frame.cols == CAMHP_FRAME_WIDTH && frame.rows == CAMHP_FRAME_HEIGHT)) return;
    const bool shrinking = frame.cols > CAMHP_FRAME_WIDTH || frame.rows > CAMHP_FRAME_HEIGHT;
    cv::resize(frame, scaled, cv::Size(CAMHP_FRAME_WIDTH, CAMHP_FRAME_HEIGHT), 0, 0,
               shrinking ? cv::INTER_AREA : cv::INTER_LINEAR);
    cv::swap(frame, scaled);
}

}  // namespace

_CAMHP_CAP_::~_CAMHP_CAP_() {
    try {
        camhp_close(this);
    } catch (...) {
        // A destructor has nobody to report to.
    }
}

void camhp_init(_CAMHP_CAP_* cap) {
    // A context used before (a repeated start-up) gives up its thread, camera and ring first.
    camhp_close(cap);
    cap->camera_num = 2;
    cap->frame_count = kRingSlots;
    cap->frames = new cv::Mat[kRingSlots];
    cap->frame_locks = new std::mutex[kRingSlots];
    cap->coordinate_path = tool_get_dll_path() + "coordinate.json";
    cap->qxphoto_path = "QXPhoto";
    logger->info("camhp_cap->qxphoto_path:{}", cap->qxphoto_path);
    cap->x = cap->y = cap->width = cap->height = 0;
    cap->capture_running = false;
}

int camhp_open_camera(_CAMHP_CAP_* cap) {
    logger->info("进入开启摄像头函数");
    if (camhp_is_open(cap)) return -1;
    // A thread that found no camera last time has ended; collect it before starting another.
    stop_capture_thread(cap);

    logger->info("设定摄像头范围");
    set_capture_properties(cap->cap);
    logger->info("camhp_cap->camera_num:{}", cap->camera_num);
    const char* simulated = std::getenv("QX_CAMERA_SOURCE");
    if (simulated && *simulated) {
        cap->source = simulated;
        logger->info("simulated camera source:{}", cap->source);
        open_source(cap->cap, cap->source);
    } else {
        cap->source.clear();
        cap->cap.open(cap->camera_num, kDeviceBackend);
        // Many back ends drop properties set before the device was open.
        if (cap->cap.isOpened() && (cap->cap.get(cv::CAP_PROP_FRAME_WIDTH) != CAMHP_FRAME_WIDTH ||
                                    cap->cap.get(cv::CAP_PROP_FRAME_HEIGHT) != CAMHP_FRAME_HEIGHT))
            set_capture_properties(cap->cap);
    }
    cap->camera_opened = cap->cap.isOpened();
    cap->newest_frame_ms = 0;
    cap->opened_ms = steady_ms();

    logger->info("准备获取图像");
    start_capture_thread(cap);
    usleep(300000);
    return cap->camera_opened ? 0 : -1;
}

void camhp_get_now_mat(_CAMHP_CAP_* cap) {
    logger->info("开始获取图像111");
    if (!cap->cap.isOpened()) {
        logger->info("摄像头打开失败");
        logger->info("camera opened fail");
        return;
    }
    if (!cap->frames || !cap->frame_locks || cap->frame_count < 1) {
        cap->capture_running = false;
        logger->info("camera init failed");
        return;
    }
    cap->capture_running = true;

    const bool simulated = !cap->source.empty();
    long played = 0;
    // Frames are read into `incoming` and swapped into their slot, so a reader
    // never waits for the camera; the buffers go round and are reused.
    cv::Mat incoming, scaled;
    auto next_frame = std::chrono::steady_clock::now();
    int i = 0;
    // A camera that stops delivering (unplugged, a source gone) must neither
    // spin nor flood the log: reads back off and the streak is logged twice,
    // when it starts and, with its length, when it ends.
    long failures = 0;
    std::chrono::milliseconds pause(0);
    // A simulated source that vanished is retried like a device that was unplugged.
    while (!cap->capture_stop && (simulated || cap->cap.isOpened())) {
        const bool read = simulated ? read_simulated(cap, incoming, played) : cap->cap.read(incoming);
        if (!read) incoming.release();
        fit_frame(incoming, scaled);
        const bool empty = incoming.empty();
        {
            std::lock_guard<std::mutex> lock(cap->frame_locks[i]);
            cv::swap(cap->frames[i], incoming);
        }
        i = (i + 1) % cap->frame_count;
        if (empty) {
            if (failures++ == 0) logger->info("cap error");
            pause = std::min(std::max(pause * 2, kFirstFailurePause), kLongestFailurePause);
            pause_unless_stopped(cap, pause);
            next_frame = std::chrono::steady_clock::now();
            continue;
        }
        cap->newest_frame_ms = steady_ms();
        if (failures > 0) {
            logger->info("cap error: {} reads failed in a row, capture resumed", failures);
            failures = 0;
            pause = std::chrono::milliseconds(0);
        }
        usleep(300);
        if (simulated) {
            next_frame += kSimulatedFramePeriod;
            const auto now = std::chrono::steady_clock::now();
            if (next_frame < now) next_frame = now;  // fell behind: do not race to catch up
            std::this_thread::sleep_until(next_frame);
        }
    }
    if (failures > 0) logger->info("cap error: {} reads failed in a row", failures);
    logger->info("取图结束");
    if (!cap->cap.isOpened()) cap->camera_opened = false;
}

void camhp_release_camera(_CAMHP_CAP_* cap) {
    stop_capture_thread(cap);
    if (cap->cap.isOpened()) cap->cap.release();
    cap->camera_opened = false;
}

void camhp_close(_CAMHP_CAP_* cap) {
    camhp_release_camera(cap);
    free_ring(cap);
}

bool camhp_is_open(const _CAMHP_CAP_* cap) { return cap->camera_opened; }

long long camhp_picture_age_ms(const _CAMHP_CAP_* cap) {
    if (!cap->camera_opened) return -1;
    const long long newest = cap->newest_frame_ms;
    return steady_ms() - (newest > 0 ? newest : cap->opened_ms.load());
}

cv::Mat camhp_copy_slot(_CAMHP_CAP_* cap, int slot) {
    cv::Mat copy;
    if (!cap->frames || !cap->frame_locks || slot < 0 || slot >= cap->frame_count) return copy;
    std::lock_guard<std::mutex> lock(cap->frame_locks[slot]);
    cap->frames[slot].copyTo(copy);
    return copy;
}
