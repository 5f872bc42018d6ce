#include "camera/camhp.h"

#include "camera_kit.h"
#include "support/alg.h"
#include "testkit/files.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstring>
#include <ctime>

namespace {

bool same(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

}  // namespace

// The crop-area file.
class CoordinateFile : public CameraTest {
protected:
    void SetUp() override {
        CameraTest::SetUp();
        camhp_init(&cam);
    }
    _CAMHP_CAP_ cam;
};

TEST_F(CoordinateFile, WrittenCompactlyInItsOrder) {
    cam.x = 120;
    cam.y = 40;
    cam.width = 400;
    cam.height = 400;
    EXPECT_EQ(camhp_write_setting_from_file(&cam), 0);
    EXPECT_EQ(read_file("coordinate.json"), R"({"x":120,"y":40,"width":400,"height":400,"cameraNum":2})");
}

TEST_F(CoordinateFile, NoRectangleWritesOnlyTheCameraNumber) {
    cam.x = 10;
    cam.width = 0;
    cam.height = 300;
    camhp_write_setting_from_file(&cam);
    EXPECT_EQ(read_file("coordinate.json"), R"({"cameraNum":2})");
}

TEST_F(CoordinateFile, ProductThatWrapsIn32BitsStillCountsAsSet) {
    cam.width = 65536;
    cam.height = 65536;
    camhp_write_setting_from_file(&cam);
    EXPECT_EQ(read_file("coordinate.json"), R"({"x":0,"y":0,"width":65536,"height":65536,"cameraNum":2})");
}

TEST_F(CoordinateFile, CameraNumberAloneLeavesTheRectangleUnset) {
    write_file("coordinate.json", R"({"cameraNum":3})");
    EXPECT_EQ(camhp_read_setting_from_file(&cam), 0);
    EXPECT_EQ(cam.camera_num, 3);
    EXPECT_EQ(static_cast<long long>(cam.width) * cam.height, 0);
}


TEST_F(CoordinateFile, MissingFileKeepsTheValues) {
    cam.camera_num = 7;
    EXPECT_EQ(camhp_read_setting_from_file(&cam), -1);
    EXPECT_EQ(cam.camera_num, 7);
    EXPECT_EQ(log_count("read coordinate error"), 1);
}

TEST_F(CoordinateFile, AnythingButAnIntegerMemberReadsAsZero) {
    for (const char* text : {R"({"x":"12","y":1.5,"width":99999999999,"height":[1],"cameraNum":true})",
                             "{\"x\":5,", "[1,2,3]", "", "\xff\xfe"}) {
        cam.x = cam.y = cam.width = cam.height = cam.camera_num = 4;
        write_file("coordinate.json", text);
        EXPECT_EQ(camhp_read_setting_from_file(&cam), 0) << text;
        EXPECT_EQ(cam.x + cam.y + cam.width + cam.height + cam.camera_num, 0) << text;
    }
}

TEST_F(CoordinateFile, UnwritableFolderStillAnswersZero) {
    cam.coordinate_path = dir() + "/no-such-folder/coordinate.json";
    EXPECT_EQ(camhp_write_setting_from_file(&cam), 0);
    EXPECT_EQ(log_count("write coordinate error"), 1);
}

// The sharpness of a crop region and the choice among the ring's frames.
TEST(Sharpness, NearlySaturatedDerivativeContributesItsRealSquare) {
    // Rows 0 and 2 equal, so no vertical derivative anywhere; the middle column
    // gets a horizontal derivative of 2 * (63 + 64) = 254 in all three rows.
    cv::Mat grey = (cv::Mat_<uchar>(3, 3) << 0, 0, 63, 0, 0, 64, 0, 0, 63);
    cv::Mat picture;
    cv::cvtColor(grey, picture, cv::COLOR_GRAY2BGR);
    const float contribution = (254.0f / 255) * (254.0f / 255);
    EXPECT_NEAR(contribution, 0.99216f, 2e-5);
    EXPECT_NEAR(alg_tenengrad_blur_detect(picture), 100.0f * 3 * contribution / 9, 1e-4);
}

class SharpestSlot : public ::testing::Test {
protected:
    const cv::Rect tray{150, 70, 340, 340};
    const cv::Mat sharp = tray_frame(kBanana);
};

TEST_F(SharpestSlot, SharpFrameWinsOverBlurredOnes) {
    const cv::Mat copies[] = {blurred(sharp), sharp, blurred(sharp)};
    float score = 0;
    EXPECT_EQ(camhp_pick_sharpest(copies, 3, tray, &score), 1);
    EXPECT_FLOAT_EQ(score, alg_tenengrad_blur_detect(sharp(tray)));
}

TEST_F(SharpestSlot, EqualScoresGoToTheLowestSlot) {
    // Slots 1 and 2 share the tray region and differ only outside it.
    cv::Mat other = sharp.clone();
    other(cv::Rect(0, 0, 100, 100)).setTo(cv::Scalar(0, 0, 255));
    const cv::Mat copies[] = {blurred(sharp), sharp, other};
    EXPECT_EQ(camhp_pick_sharpest(copies, 3, tray, nullptr), 1);
}

TEST_F(SharpestSlot, UniformGreyFramesScoreZeroAndTheFirstWins) {
    const cv::Mat grey(480, 640, CV_8UC3, cv::Scalar(128, 128, 128));
    const cv::Mat copies[] = {grey, grey, grey};
    float score = -1;
    EXPECT_EQ(camhp_pick_sharpest(copies, 3, tray, &score), 0);
    EXPECT_EQ(score, 0.0f);
}

TEST_F(SharpestSlot, EmptySlotsAreSkipped) {
    const cv::Mat copies[] = {cv::Mat(), blurred(sharp), sharp};
    EXPECT_EQ(camhp_pick_sharpest(copies, 3, tray, nullptr), 2);
    const cv::Mat none[] = {cv::Mat(), cv::Mat(), cv::Mat()};
    EXPECT_EQ(camhp_pick_sharpest(none, 3, tray, nullptr), -1);
}

TEST_F(SharpestSlot, RectangleOutsideTheFrameGivesNoSlot) {
    const cv::Mat copies[] = {sharp, sharp, sharp};
    for (const cv::Rect& rect : {cv::Rect(-20, 0, 100, 100), cv::Rect(600, 0, 100, 100), cv::Rect(0, 400, 100, 100),
                                 cv::Rect(10, 10, -5, -5), cv::Rect(0, 0, 0, 10)})
        EXPECT_EQ(camhp_pick_sharpest(copies, 3, rect, nullptr), -1) << rect;
    cv::Mat small;
    cv::resize(sharp, small, cv::Size(320, 240));
    const cv::Mat mixed[] = {small, sharp, small};
    EXPECT_EQ(camhp_pick_sharpest(mixed, 3, tray, nullptr), 1);
}

// Time-named pictures.
TEST(PictureName, HourRunsEightAheadWithoutPadding) {
    std::tm when{};
    when.tm_year = 2026 - 1900;
    when.tm_mon = 2;
    when.tm_mday = 5;
    when.tm_hour = 16;
    when.tm_min = 7;
    when.tm_sec = 9;
    EXPECT_EQ(camhp_picture_name("QXPhoto", true, when), "QXPhoto/raw2026352479.jpg");
    EXPECT_EQ(camhp_picture_name("QXPhoto", false, when), "QXPhoto/2026352479.jpg");
    when.tm_hour = 23;
    EXPECT_EQ(camhp_picture_name("QXPhoto", false, when), "QXPhoto/2026353179.jpg");
}

// The whole selection on a ring filled by hand, as the capture thread would.
class ScaleBitmap : public CameraTest {
protected:
    void SetUp() override {
        CameraTest::SetUp();
        camhp_init(&cam);
        std::memset(&image, 0, sizeof image);
    }
    void fill(const cv::Mat& a, const cv::Mat& b, const cv::Mat& c) {
        cam.frames[0] = a;
        cam.frames[1] = b;
        cam.frames[2] = c;
        cam.camera_opened = true;
        cam.capture_running = true;
    }
    void set_tray() {
        cam.x = 150;
        cam.y = 70;
        cam.width = 340;
        cam.height = 340;
    }
    // The names a picture saved now may have (the second may turn meanwhile).
    static bool named_by_time(const std::string& path, bool is_raw, std::time_t before, std::time_t after) {
        for (std::time_t t = before; t <= after; ++t) {
            std::tm local{};
            localtime_r(&t, &local);
            if (path == camhp_picture_name("QXPhoto", is_raw, local)) return true;
        }
        return false;
    }
    _CAMHP_CAP_ cam;
    _CAMHP_IMAGE_ image;
    const cv::Mat sharp = tray_frame(kApple);
};

TEST_F(ScaleBitmap, ReturnsTheSharpestTrayAndSavesOnlyTheWholeFrame) {
    set_tray();
    fill(blurred(sharp), sharp, blurred(sharp));
    const std::time_t before = std::time(nullptr);
    cv::Mat crop = camhp_get_scale_bitmap(&cam, &image);
    const std::time_t after = std::time(nullptr);
    EXPECT_TRUE(same(crop, sharp(cv::Rect(150, 70, 340, 340))));
    EXPECT_TRUE(named_by_time(image.raw_path, true, before, after)) << image.raw_path;
    EXPECT_STREQ(image.crop_path, "");
    EXPECT_EQ(list_dir("QXPhoto").size(), 1u);
    // The whole frame is slot 0's.
    cv::Mat raw = cv::imread(image.raw_path);
    EXPECT_EQ(raw.size(), cv::Size(640, 480));
    EXPECT_LT(cv::norm(raw, blurred(sharp), cv::NORM_L1) / raw.total(), 3.0);
}

TEST_F(ScaleBitmap, SaveImageAddsTheCropFile) {
    set_tray();
    cam.save_image = true;
    fill(blurred(sharp), sharp, blurred(sharp));
    const std::time_t before = std::time(nullptr);
    cv::Mat crop = camhp_get_scale_bitmap(&cam, &image);
    const std::time_t after = std::time(nullptr);
    EXPECT_TRUE(named_by_time(image.crop_path, false, before, after)) << image.crop_path;
    EXPECT_EQ(list_dir("QXPhoto").size(), 2u);
    EXPECT_EQ(cv::imread(image.crop_path).size(), cv::Size(340, 340));
    EXPECT_FALSE(crop.empty());
}


TEST_F(ScaleBitmap, NoRectangleSavesTheWholeFrameOnly) {
    cam.save_image = true;
    fill(sharp, sharp, sharp);
    EXPECT_TRUE(camhp_get_scale_bitmap(&cam, &image).empty());
    EXPECT_EQ(log_count("rect area empty"), 1);
    EXPECT_STRNE(image.raw_path, "");
    EXPECT_STREQ(image.crop_path, "");
    EXPECT_EQ(list_dir("QXPhoto").size(), 1u);
}

TEST_F(ScaleBitmap, EmptyRingGivesNothingAndSavesNothing) {
    set_tray();
    fill(cv::Mat(), cv::Mat(), cv::Mat());
    EXPECT_TRUE(camhp_get_scale_bitmap(&cam, &image).empty());
    EXPECT_EQ(log_count("no camera frame yet"), 1);
    EXPECT_STREQ(image.raw_path, "");
    EXPECT_FALSE(file_exists("QXPhoto"));
}

TEST_F(ScaleBitmap, EmptySlotZeroTakesTheWholeFrameFromTheNextSlot) {
    set_tray();
    fill(cv::Mat(), blurred(sharp), sharp);
    cv::Mat crop = camhp_get_scale_bitmap(&cam, &image);
    EXPECT_TRUE(same(crop, sharp(cv::Rect(150, 70, 340, 340))));
    EXPECT_STRNE(image.raw_path, "");
}

TEST_F(ScaleBitmap, RectangleLeavingTheFrameGivesNoPicture) {
    cam.x = -20;
    cam.y = 0;
    cam.width = 100;
    cam.height = 100;
    cam.save_image = true;
    fill(sharp, sharp, sharp);
    EXPECT_TRUE(camhp_get_scale_bitmap(&cam, &image).empty());
    EXPECT_STRNE(image.raw_path, "");
    EXPECT_STREQ(image.crop_path, "");
    EXPECT_EQ(log_count("rect area outside the camera frame x=-20,y=0,w=100,h=100"), 1);
}
