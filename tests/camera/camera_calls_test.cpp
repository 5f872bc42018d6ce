#include "qx_ai.h"

#include "api/context.h"
#include "camera/camhp.h"
#include "camera_kit.h"
#include "support/tools.h"
#include "testkit/files.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <climits>
#include <cstdio>
#include <cstring>
#include <thread>

class CameraCalls : public CameraTest {
protected:
    void SetUp() override {
        CameraTest::SetUp();
        ASSERT_EQ(Init(), 0);
    }
    void TearDown() override {
        Close();
        CameraTest::TearDown();
    }
    _CAMHP_CAP_& cam() { return params->cam; }
    std::string scale_setting() {
        int x = -1, y = -1, w = -1, h = -1;
        EXPECT_EQ(GetScaleSetting(&x, &y, &w, &h), 0);
        return cv::format("%d,%d,%d,%d", x, y, w, h);
    }
};

TEST_F(CameraCalls, OnlyRectanglesWithinTheFrameAreStored) {
    EXPECT_EQ(scale_setting(), "0,0,0,0");  // a fresh start has none
    const struct {
        int x, y, w, h, result;
    } cases[] = {
        {0, 0, 640, 480, 0},
        {-20, 0, 100, 100, 0},
        {1, 0, 640, 480, QX_ERR_CROP_OUTSIDE},
        {0, 1, 640, 480, QX_ERR_CROP_OUTSIDE},
        // Sums beyond INT_MAX must not wrap round into the frame.
        {INT_MAX, 0, 1, 1, QX_ERR_CROP_OUTSIDE},
        {0, INT_MAX, 1, INT_MAX, QX_ERR_CROP_OUTSIDE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(cv::format("%d,%d,%d,%d", c.x, c.y, c.w, c.h));
        EXPECT_EQ(SaveScaleSetting(c.x, c.y, c.w, c.h), c.result);
        EXPECT_EQ(scale_setting(), c.result ? "-20,0,100,100" : cv::format("%d,%d,%d,%d", c.x, c.y, c.w, c.h));
    }
    EXPECT_EQ(read_file("coordinate.json"), R"({"x":-20,"y":0,"width":100,"height":100,"cameraNum":2})");
    EXPECT_EQ(log_count("Scale not match 640*480 x=1,y=0,w=640,h=480"), 1);
}

TEST_F(CameraCalls, SettingsSurviveARestart) {
    write_file("coordinate.json", R"({"cameraNum":3})");
    Init();
    EXPECT_EQ(cam().camera_num, 3);
    EXPECT_EQ(scale_setting(), "0,0,0,0");
    SaveScaleSetting(150, 70, 340, 340);
    Init();
    EXPECT_EQ(scale_setting(), "150,70,340,340");
}

// A rectangle of negative size once passed and left every later AutoDetect at
// QX_ERR_NO_PICTURE; a file that could not be written once passed too, and the
// old rectangle came back at the next start.
TEST_F(CameraCalls, RefusedRectangleOrUnwrittenFileKeepsTheRectangleInForce) {
    Init();
    ASSERT_EQ(SaveScaleSetting(150, 70, 340, 340), 0);
    const std::string stored = read_file("coordinate.json");
    struct Case {
        int x, y, width, height;
    } const negative[] = {{10, 10, -5, 100}, {10, 10, 100, -1}, {0, 0, -1, 0}};
    for (const Case& c : negative) {
        EXPECT_EQ(SaveScaleSetting(c.x, c.y, c.width, c.height), QX_ERR_CROP_OUTSIDE);
        EXPECT_EQ(scale_setting(), "150,70,340,340");
    }
    EXPECT_EQ(read_file("coordinate.json"), stored);
    // Negative x or y stay accepted.
    EXPECT_EQ(SaveScaleSetting(-10, -20, 300, 300), 0);
    EXPECT_EQ(scale_setting(), "-10,-20,300,300");

    // coordinate.json as a folder cannot be replaced.
    std::remove("coordinate.json");
    ASSERT_EQ(mkdir("coordinate.json", 0700), 0);
    EXPECT_EQ(SaveScaleSetting(100, 100, 200, 200), QX_ERR_DATA_FILE);
    EXPECT_EQ(scale_setting(), "-10,-20,300,300");
    EXPECT_EQ(log_count("coordinate.json not written"), 1);
}

// A zero width or height was refused with QX_ERR_CROP_OUTSIDE, which left the
// host no way to clear the crop area. Clearing it once also set x and y to 0;
// they are kept as given until the next start.
TEST_F(CameraCalls, ZeroWidthOrHeightClearsTheCropArea) {
    const struct {
        int width, height;
    } sizes[] = {{0, 340}, {340, 0}, {0, 0}};
    for (const auto& size : sizes) {
        SCOPED_TRACE(cv::format("%dx%d", size.width, size.height));
        ASSERT_EQ(SaveScaleSetting(150, 70, 340, 340), 0);
        EXPECT_EQ(SaveScaleSetting(120, 60, size.width, size.height), QX_OK);
        EXPECT_EQ(scale_setting(), cv::format("120,60,%d,%d", size.width, size.height));
        EXPECT_EQ(read_file("coordinate.json"), R"({"cameraNum":2})");
        char codes[QX_CODES_SIZE], session[QX_SESSION_SIZE];
        EXPECT_EQ(AutoDetect(codes, session), QX_ERR_NO_CROP);
        ASSERT_EQ(Init(), 0);
        EXPECT_EQ(scale_setting(), "0,0,0,0");
    }
}

// Every recognition flushed the pictures it saved under QXPhoto to the disk on
// the caller's thread, though Init empties that folder at the next start.
TEST_F(CameraCalls, RecognitionFlushesNoPictureARestartThrowsAway) {
    CameraSource source(photo_sequence());
    ASSERT_EQ(SetCameraId(0), 0);
    unsigned long flushes = tool_flush_count();
    ASSERT_EQ(SaveScaleSetting(150, 70, 340, 340), 0);
    EXPECT_EQ(tool_flush_count(), flushes + 1);  // the settings must survive a power cut
    cam().save_image = true;                     // the crop is saved as well
    flushes = tool_flush_count();
    char codes[QX_CODES_SIZE], session[QX_SESSION_SIZE];
    EXPECT_EQ(AutoDetect(codes, session), QX_OK);
    EXPECT_EQ(list_dir("QXPhoto").size(), 2u);
    EXPECT_EQ(tool_flush_count(), flushes);
}

TEST_F(CameraCalls, SetCameraIdTwiceRefusesTheSecondAndKeepsCapturing) {
    CameraSource source(photo_sequence());
    EXPECT_EQ(SetCameraId(2), 0);
    EXPECT_EQ(SetCameraId(4), QX_ERR_CAMERA_OPEN);
    EXPECT_EQ(read_file("coordinate.json"), R"({"cameraNum":4})");
    EXPECT_TRUE(camhp_is_open(&cam()) && cam().capture_running);
    for (const char* line : {"开始获取图像111", "ret:-1", "结束打开摄像头", "摄像头的序号为:4"})
        EXPECT_EQ(log_count(line), 1) << line;
}

TEST_F(CameraCalls, GetScaleBitmapSavesTheWholeFrameAndTheCrop) {
    CameraSource source(photo_sequence());
    ASSERT_EQ(SaveScaleSetting(150, 70, 340, 340), 0);
    ASSERT_EQ(SetCameraId(0), 0);
    char raw[QX_PATH_SIZE] = "x", crop[QX_PATH_SIZE] = "x";
    EXPECT_EQ(GetScaleBitmap(raw, crop), 0);
    EXPECT_EQ(std::string(raw).rfind("QXPhoto/raw", 0), 0u) << raw;
    EXPECT_EQ(std::string(crop).rfind("QXPhoto/", 0), 0u) << crop;
    EXPECT_EQ(cv::imread(raw).size(), cv::Size(640, 480));
    EXPECT_EQ(cv::imread(crop).size(), cv::Size(340, 340));
    EXPECT_FALSE(cam().save_image);  // only for the length of the call
    EXPECT_EQ(log_count(std::string("rawPath:") + raw), 1);
    EXPECT_EQ(log_count(std::string("cropPath:") + crop), 1);
}

// Pictures of the same second once shared a name, so a later recognition's
// picture replaced an earlier one's; and a QXPhoto planted as a link took the
// pictures wherever it pointed.
TEST_F(CameraCalls, PicturesGetUniqueTimeSortedNamesAndNeverGoThroughALink) {
    CameraSource source(photo_sequence());
    ASSERT_EQ(SaveScaleSetting(150, 70, 340, 340), 0);
    ASSERT_EQ(SetCameraId(0), 0);
    std::vector<std::string> raws, crops;
    for (int shot = 0; shot < 5; ++shot) {
        char raw[QX_PATH_SIZE] = "", crop[QX_PATH_SIZE] = "";
        EXPECT_EQ(GetScaleBitmap(raw, crop), 0);
        raws.push_back(raw);
        crops.push_back(crop);
    }
    EXPECT_TRUE(std::is_sorted(raws.begin(), raws.end()));
    EXPECT_TRUE(std::is_sorted(crops.begin(), crops.end()));
    EXPECT_EQ(list_dir("QXPhoto").size(), 10u);

    std::filesystem::remove_all("QXPhoto");
    ASSERT_EQ(mkdir("elsewhere", 0700), 0);
    ASSERT_EQ(symlink("elsewhere", "QXPhoto"), 0);
    char raw[QX_PATH_SIZE] = "x", crop[QX_PATH_SIZE] = "x";
    EXPECT_EQ(GetScaleBitmap(raw, crop), 0);
    EXPECT_STREQ(raw, "");
    EXPECT_STREQ(crop, "");
    EXPECT_TRUE(list_dir("elsewhere").empty());
    EXPECT_GE(log_count("photo folder refused"), 1);
}

// An unplugged camera once kept the loop reading every 0.3 ms and logging
// "cap error" (flushed) for each read. Now reads back off, the streak is
// logged when it starts and, with its length, when it ends, and capture
// resumes when frames come back.
TEST_F(CameraCalls, FailingReadsBackOffAreLoggedOnceAndCaptureResumes) {
    CameraSource source(photo_sequence());
    ASSERT_EQ(SaveScaleSetting(150, 70, 340, 340), 0);
    ASSERT_EQ(SetCameraId(0), 0);
    ASSERT_EQ(std::rename("frames", "unplugged"), 0);
    ASSERT_TRUE(eventually([] { return log_count("cap error") == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(log_count("cap error"), 1);
    char raw[QX_PATH_SIZE] = "x", crop[QX_PATH_SIZE] = "x";
    EXPECT_EQ(GetScaleBitmap(raw, crop), 0);
    EXPECT_STREQ(raw, "");  // no stale frame from before the failure

    ASSERT_EQ(std::rename("unplugged", "frames"), 0);
    ASSERT_TRUE(eventually([] { return log_count("reads failed in a row, capture resumed") == 1; }));
    const std::string log = log_text();
    const size_t at = log.find("cap error: ");
    ASSERT_NE(at, std::string::npos);
    const long reads = std::strtol(log.c_str() + at + std::strlen("cap error: "), nullptr, 10);
    EXPECT_GE(reads, 3);
    EXPECT_LE(reads, 40);  // about a dozen reads in 1.5 s, not thousands
    EXPECT_TRUE(eventually([&] {
        GetScaleBitmap(raw, crop);
        return *raw != '\0';
    }));
    EXPECT_TRUE(camhp_is_open(&cam()));
}

TEST_F(CameraCalls, ReopenSwitchesTheSourceWhileAnotherThreadTakesPictures) {
    CameraSource first(photo_sequence());
    ASSERT_EQ(SaveScaleSetting(150, 70, 340, 340), 0);
    ASSERT_EQ(SetCameraId(0), 0);
    std::atomic<bool> done{false};
    std::atomic<int> pictures{0};
    std::thread reader([&] {
        while (!done) {
            _CAMHP_IMAGE_ image = {};
            if (!camhp_get_scale_bitmap(&params->cam, &image).empty()) ++pictures;
        }
    });
    for (int round = 0; round < 3; ++round) EXPECT_EQ(qx_ai_reopencamera(round), 0);
    const cv::Mat grey(480, 640, CV_8UC3, cv::Scalar(90, 90, 90));
    CameraSource second(write_sequence("grey", {grey}));
    EXPECT_EQ(qx_ai_reopencamera(3), 0);
    EXPECT_TRUE(eventually([&] { return pictures > 0; }));
    done = true;
    reader.join();
    EXPECT_EQ(log_count("取图结束"), 4);
    EXPECT_EQ(cam().camera_num, 3);
    // Once the ring has turned over, every slot shows the new source.
    EXPECT_TRUE(eventually([&] {
        for (int k = 0; k < cam().frame_count; ++k) {
            cv::Mat slot = camhp_copy_slot(&cam(), k);
            if (slot.empty() || cv::norm(slot, grey, cv::NORM_INF) > 8) return false;
        }
        return true;
    }));
}

TEST_F(CameraCalls, InitAgainWhileCapturingStopsTheCamera) {
    CameraSource source(photo_sequence());
    ASSERT_EQ(SetCameraId(0), 0);
    EXPECT_EQ(Init(), 0);
    EXPECT_EQ(log_count("取图结束"), 1);
    EXPECT_FALSE(camhp_is_open(&cam()) || cam().capture_running);
    EXPECT_EQ(SetCameraId(0), 0);
}

TEST_F(CameraCalls, CallsWithTheCameraClosedOrAfterCloseAreHarmless) {
    {
        CameraSource missing("nothing-here.avi");
        EXPECT_EQ(qx_ai_reopencamera(0), QX_ERR_CAMERA_OPEN);
        EXPECT_EQ(read_file("coordinate.json"), R"({"cameraNum":0})");  // stored all the same
    }
    char raw[QX_PATH_SIZE] = "stale", crop[QX_PATH_SIZE] = "stale";
    SaveScaleSetting(150, 70, 340, 340);
    EXPECT_EQ(GetScaleBitmap(raw, crop), 0);
    EXPECT_EQ(std::string(raw) + crop, "");
    EXPECT_EQ(log_count("The camera open failed!"), 1);
    Close();
    std::remove("coordinate.json");
    CameraSource source(photo_sequence());
    EXPECT_EQ(SetCameraId(0), QX_ERR_CAMERA_OPEN);
    EXPECT_EQ(qx_ai_reopencamera(0), QX_ERR_CAMERA_OPEN);
    std::strcpy(raw, "stale");
    EXPECT_EQ(GetScaleBitmap(raw, crop), 0);
    EXPECT_STREQ(raw, "");
    EXPECT_EQ(scale_setting(), "0,0,0,0");
    EXPECT_EQ(SaveScaleSetting(0, 0, 10, 10), QX_ERR_NOT_READY);
    EXPECT_FALSE(file_exists("coordinate.json"));
    EXPECT_EQ(GetScaleBitmap(nullptr, nullptr), 0);
    EXPECT_EQ(GetScaleSetting(nullptr, nullptr, nullptr, nullptr), 0);
}
