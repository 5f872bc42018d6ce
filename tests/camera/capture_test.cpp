#include "camera/camhp.h"

#include "camera_kit.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <vector>

namespace {

bool ring_full(_CAMHP_CAP_& cam) {
    for (int k = 0; k < cam.frame_count; ++k)
        if (camhp_copy_slot(&cam, k).empty()) return false;
    return true;
}

bool same(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

// Waits until slot 0 has been rewritten with new content `times` times.
bool slot_keeps_changing(_CAMHP_CAP_& cam, int times) {
    cv::Mat last = camhp_copy_slot(&cam, 0);
    int changes = 0;
    return eventually([&] {
        cv::Mat now = camhp_copy_slot(&cam, 0);
        if (!now.empty() && !same(now, last)) {
            ++changes;
            last = now;
        }
        return changes >= times;
    });
}

}  // namespace

class Capture : public CameraTest {
protected:
    void SetUp() override {
        CameraTest::SetUp();
        camhp_init(&cam);
    }
    void TearDown() override {
        camhp_close(&cam);
        CameraTest::TearDown();
    }
    _CAMHP_CAP_ cam;
};


TEST_F(Capture, SimulatedSequenceFillsTheRingWith640x480Frames) {
    CameraSource source(photo_sequence());
    ASSERT_EQ(camhp_open_camera(&cam), 0);
    EXPECT_TRUE(camhp_is_open(&cam));
    ASSERT_TRUE(eventually([&] { return ring_full(cam); }));
    EXPECT_TRUE(cam.capture_running);
    for (int k = 0; k < cam.frame_count; ++k) {
        cv::Mat frame = camhp_copy_slot(&cam, k);
        EXPECT_EQ(frame.cols, 640);
        EXPECT_EQ(frame.rows, 480);
        EXPECT_EQ(frame.type(), CV_8UC3);
    }
    for (const char* line : {"进入开启摄像头函数", "设定摄像头范围", "camhp_cap->camera_num:2", "准备获取图像",
                             "开始获取图像111"})
        EXPECT_EQ(log_count(line), 1) << line;
}

TEST_F(Capture, ImageSequenceLoopsAtItsEnd) {
    CameraSource source(photo_sequence());
    ASSERT_EQ(camhp_open_camera(&cam), 0);
    // Four files, read seven times round.
    EXPECT_TRUE(slot_keeps_changing(cam, 10));
    EXPECT_EQ(log_count("cap error"), 0);
}

TEST_F(Capture, VideoFileLoopsAtItsEnd) {
    write_video("tray.avi", {tray_frame(kBanana), tray_frame(kApple), tray_frame(kCarrots), tray_frame(kApple)});
    CameraSource source("tray.avi");
    ASSERT_EQ(camhp_open_camera(&cam), 0);
    EXPECT_TRUE(slot_keeps_changing(cam, 8));
    EXPECT_EQ(log_count("cap error"), 0);
}

TEST_F(Capture, OtherFrameSizesAreScaledTo640x480) {
    cv::Mat small;
    cv::resize(tray_frame(kBanana), small, cv::Size(320, 240));
    cv::Mat large;
    cv::resize(tray_frame(kApple), large, cv::Size(1280, 720));
    CameraSource source(write_sequence("frames", {small, large}));
    ASSERT_EQ(camhp_open_camera(&cam), 0);
    ASSERT_TRUE(eventually([&] { return ring_full(cam); }));
    for (int k = 0; k < cam.frame_count; ++k) EXPECT_EQ(camhp_copy_slot(&cam, k).size(), cv::Size(640, 480));
}


TEST_F(Capture, MissingDeviceFailsAndTheThreadSaysSo) {
    CameraSource no_simulation("");
    cam.camera_num = 97;
    EXPECT_EQ(camhp_open_camera(&cam), -1);
    EXPECT_FALSE(camhp_is_open(&cam));
    camhp_close(&cam);  // waits for the thread's last words
    EXPECT_EQ(log_count("摄像头打开失败"), 1);
    EXPECT_EQ(log_count("camera opened fail"), 1);
    EXPECT_FALSE(cam.capture_running);
}


TEST_F(Capture, MissingSourceFailsAndALaterOpenWorks) {
    {
        CameraSource source("nothing-here.avi");
        EXPECT_EQ(camhp_open_camera(&cam), -1);
        EXPECT_FALSE(camhp_is_open(&cam));
    }
    CameraSource source(photo_sequence());
    EXPECT_EQ(camhp_open_camera(&cam), 0);
}

TEST_F(Capture, ReleaseEndsTheThreadButCaptureRunningStays) {
    CameraSource source(photo_sequence());
    ASSERT_EQ(camhp_open_camera(&cam), 0);
    camhp_release_camera(&cam);
    EXPECT_EQ(log_count("取图结束"), 1);
    EXPECT_FALSE(camhp_is_open(&cam));
    EXPECT_TRUE(cam.capture_running);
    EXPECT_NE(cam.frames, nullptr);
    EXPECT_FALSE(cam.capture_thread.joinable());
}

TEST_F(Capture, CloseWhileCapturingStopsAndFreesTheRing) {
    CameraSource source(photo_sequence());
    ASSERT_EQ(camhp_open_camera(&cam), 0);
    ASSERT_TRUE(eventually([&] { return ring_full(cam); }));
    camhp_close(&cam);
    EXPECT_EQ(log_count("取图结束"), 1);
    EXPECT_EQ(cam.frames, nullptr);
    EXPECT_FALSE(camhp_is_open(&cam));
    EXPECT_TRUE(camhp_copy_slot(&cam, 0).empty());
}



TEST_F(Capture, ReadersGetWholeFramesWhileTheThreadWrites) {
    // Frames that differ everywhere: a torn copy would mix two of them.
    std::vector<cv::Mat> frames;
    for (int v : {40, 120, 200}) frames.emplace_back(480, 640, CV_8UC3, cv::Scalar(v, v, v));
    CameraSource source(write_sequence("flat", frames));
    ASSERT_EQ(camhp_open_camera(&cam), 0);
    int checked = 0;
    EXPECT_TRUE(eventually([&] {
        for (int k = 0; k < cam.frame_count; ++k) {
            cv::Mat copy = camhp_copy_slot(&cam, k);
            if (copy.empty()) continue;
            double low, high;
            cv::minMaxLoc(copy.reshape(1), &low, &high);
            EXPECT_LE(high - low, 8) << "slot " << k;  // JPEG noise only
            ++checked;
        }
        return checked >= 150;
    }));
}

TEST_F(Capture, HostExitingWithoutCloseStopsTheThreadFirst) {
    // The child is forked: it shares this folder and its log.
    GTEST_FLAG_SET(death_test_style, "fast");
    const std::string sequence = photo_sequence();
    EXPECT_EXIT(
        {
            CameraSource source(sequence);
            static _CAMHP_CAP_* leaked = new _CAMHP_CAP_();  // as the library's own context is
            camhp_init(leaked);
            if (camhp_open_camera(leaked) != 0) std::_Exit(3);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(log_count("取图结束"), 1);
}

TEST_F(Capture, SingleStillPictureKeepsDelivering) {
    cv::imwrite("tray.jpg", tray_frame(kCarrots));
    CameraSource source("tray.jpg");
    ASSERT_EQ(camhp_open_camera(&cam), 0);
    // Three slots filled from one picture: it was played three times at least.
    ASSERT_TRUE(eventually([&] { return ring_full(cam); }));
    camhp_release_camera(&cam);
    EXPECT_EQ(log_count("simulated camera source:tray.jpg"), 1);
    EXPECT_EQ(log_count("cap error"), 0);
}
