#include "camera/camhp.h"

#include "camera_kit.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <cstdlib>
#include <filesystem>
#include <vector>

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

TEST_F(Capture, SourcesStartOverAtTheirEndAndFillTheRingWith640x480Frames) {
    cv::Mat small, large;
    cv::resize(tray_frame(kBanana), small, cv::Size(320, 240));
    cv::resize(tray_frame(kApple), large, cv::Size(1280, 720));
    write_video("tray.avi", {tray_frame(kBanana), tray_frame(kApple), tray_frame(kCarrots), tray_frame(kApple)});
    for (const std::string& path :
         {write_sequence("frames", {small, large, tray_frame(kCarrots), blurred(large)}), std::string("tray.avi")}) {
        SCOPED_TRACE(path);
        CameraSource source(path);
        ASSERT_EQ(camhp_open_camera(&cam), 0);
        // Slot 0 rewritten with new content ten times: four frames played round twice and more.
        cv::Mat last = camhp_copy_slot(&cam, 0);
        int changes = 0;
        EXPECT_TRUE(eventually([&] {
            cv::Mat now = camhp_copy_slot(&cam, 0);
            if (!now.empty() && (last.empty() || cv::norm(now, last, cv::NORM_INF) > 0)) {
                ++changes;
                last = now;
            }
            return changes >= 10;
        }));
        for (int k = 0; k < cam.frame_count; ++k) {
            const cv::Mat frame = camhp_copy_slot(&cam, k);
            EXPECT_EQ(frame.size(), cv::Size(640, 480));
            EXPECT_EQ(frame.type(), CV_8UC3);
        }
        camhp_release_camera(&cam);
    }
    EXPECT_EQ(log_count("cap error"), 0);
    for (const char* line : {"进入开启摄像头函数", "设定摄像头范围", "camhp_cap->camera_num:2", "准备获取图像",
                             "开始获取图像111"})
        EXPECT_EQ(log_count(line), 2) << line;
}

TEST_F(Capture, MissingDeviceOrSourceFailsAndALaterOpenWorks) {
    {
        CameraSource no_simulation("");
        cam.camera_num = 97;
        EXPECT_EQ(camhp_open_camera(&cam), -1);
        camhp_release_camera(&cam);  // waits for the thread's last words
        EXPECT_EQ(log_count("摄像头打开失败"), 1);
        EXPECT_EQ(log_count("camera opened fail"), 1);
        EXPECT_FALSE(cam.capture_running);
        CameraSource missing("nothing-here.avi");
        EXPECT_EQ(camhp_open_camera(&cam), -1);
        EXPECT_FALSE(camhp_is_open(&cam));
    }
    CameraSource source(photo_sequence());
    EXPECT_EQ(camhp_open_camera(&cam), 0);
    EXPECT_TRUE(camhp_is_open(&cam));
}

TEST_F(Capture, ReleaseEndsTheThreadButCaptureRunningStays) {
    CameraSource source(photo_sequence());
    ASSERT_EQ(camhp_open_camera(&cam), 0);
    camhp_release_camera(&cam);
    EXPECT_EQ(log_count("取图结束"), 1);
    EXPECT_FALSE(camhp_is_open(&cam));
    EXPECT_TRUE(cam.capture_running);
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

// A camera that stops delivering keeps its thread running and `capture_running`
// true: only the age of its newest picture tells the technician.
TEST_F(Capture, PictureAgeGrowsWhenFramesStopAndFallsWhenTheyReturn) {
    EXPECT_EQ(camhp_picture_age_ms(&cam), -1);  // not open
    CameraSource source(photo_sequence());
    ASSERT_EQ(camhp_open_camera(&cam), 0);
    EXPECT_TRUE(eventually([&] { return camhp_picture_age_ms(&cam) >= 0 && camhp_picture_age_ms(&cam) < 200; }));
    std::filesystem::rename("frames", "gone");
    EXPECT_TRUE(eventually([&] { return camhp_picture_age_ms(&cam) > 1500; }));
    EXPECT_TRUE(cam.capture_running);
    EXPECT_TRUE(camhp_is_open(&cam));
    std::filesystem::rename("gone", "frames");
    EXPECT_TRUE(eventually([&] { return camhp_picture_age_ms(&cam) < 200; }));
    camhp_release_camera(&cam);
    EXPECT_EQ(camhp_picture_age_ms(&cam), -1);
}
