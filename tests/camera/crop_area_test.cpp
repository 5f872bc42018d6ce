#include "camera/camhp.h"

#include "camera_kit.h"
#include "support/alg.h"
#include "testkit/files.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <ctime>
#include <filesystem>

namespace {

bool same(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

}  // namespace

class CropArea : public CameraTest {
protected:
    void SetUp() override {
        CameraTest::SetUp();
        camhp_init(&cam);
    }
    _CAMHP_CAP_ cam;
};

TEST_F(CropArea, FileReadsIntegersOnlyAndAMissingOneKeepsTheValues) {
    cam.camera_num = 7;
    EXPECT_EQ(camhp_read_setting_from_file(&cam), -1);
    EXPECT_EQ(cam.camera_num, 7);
    EXPECT_EQ(log_count("read coordinate error"), 1);
    for (const char* text : {R"({"x":"12","y":1.5,"width":99999999999,"height":[1],"cameraNum":true})", "{\"x\":5,"}) {
        cam.x = cam.y = cam.width = cam.height = cam.camera_num = 4;
        write_file("coordinate.json", text);
        EXPECT_EQ(camhp_read_setting_from_file(&cam), 0) << text;
        EXPECT_EQ(cam.x + cam.y + cam.width + cam.height + cam.camera_num, 0) << text;
    }
}

TEST_F(CropArea, WriteCountsAProductThatWrapsIn32BitsAsSetAndSurvivesNoFolder) {
    cam.width = cam.height = 65536;
    EXPECT_EQ(camhp_write_setting_from_file(&cam), 0);
    EXPECT_EQ(read_file("coordinate.json"), R"({"x":0,"y":0,"width":65536,"height":65536,"cameraNum":2})");
    cam.coordinate_path = dir() + "/no-such-folder/coordinate.json";
    EXPECT_EQ(camhp_write_setting_from_file(&cam), -1);
    EXPECT_EQ(log_count("write coordinate error"), 1);
}

TEST(CropSharpness, NearlySaturatedDerivativeContributesItsRealSquare) {
    // Rows 0 and 2 equal, so no vertical derivative anywhere; the middle column
    // gets a horizontal derivative of 2 * (63 + 64) = 254 in all three rows.
    const cv::Mat grey = (cv::Mat_<uchar>(3, 3) << 0, 0, 63, 0, 0, 64, 0, 0, 63);
    cv::Mat picture;
    cv::cvtColor(grey, picture, cv::COLOR_GRAY2BGR);
    const float contribution = (254.0f / 255) * (254.0f / 255);  // about 0.99216
    EXPECT_NEAR(alg_tenengrad_blur_detect(picture), 100.0f * 3 * contribution / 9, 1e-4);
}

// Names that once collided minutes apart ("10:01:11" and "10:11:01") or within
// one second must differ and sort by time.
TEST(PictureName, PaddedFieldsAndSequenceSortByTimeAndNeverCollide) {
    std::tm when{};
    when.tm_year = 2026 - 1900;
    when.tm_mon = 2;
    when.tm_mday = 5;
    when.tm_hour = 16;
    when.tm_min = 7;
    when.tm_sec = 9;
    EXPECT_EQ(camhp_picture_name("QXPhoto", true, when, 42, 7), "QXPhoto/raw20260305240709042_000007.jpg");
    EXPECT_EQ(camhp_picture_name("QXPhoto", false, when, 42, 7), "QXPhoto/20260305240709042_000007.jpg");
    std::tm a = when, b = when;
    a.tm_hour = 10, a.tm_min = 1, a.tm_sec = 11;
    b.tm_hour = 10, b.tm_min = 11, b.tm_sec = 1;
    EXPECT_LT(camhp_picture_name("Q", false, a, 0, 1), camhp_picture_name("Q", false, b, 0, 2));
    EXPECT_LT(camhp_picture_name("Q", false, a, 999, 1), camhp_picture_name("Q", false, a, 999, 2));
}

// The whole selection on a ring filled by hand, as the capture thread would.
class CropScaleBitmap : public CropArea {
protected:
    void fill(const cv::Mat& a, const cv::Mat& b, const cv::Mat& c) {
        cam.frames[0] = a;
        cam.frames[1] = b;
        cam.frames[2] = c;
        cam.camera_opened = cam.capture_running = true;
    }
    _CAMHP_IMAGE_ image{};
    const cv::Mat sharp = tray_frame(kApple);
    const cv::Rect tray{150, 70, 340, 340};
};

TEST_F(CropScaleBitmap, ReturnsTheSharpestTrayAndSavesSlotZeroUnderTheTime) {
    cam.x = 150, cam.y = 70, cam.width = 340, cam.height = 340;
    fill(blurred(sharp), sharp, blurred(sharp));
    const std::time_t before = std::time(nullptr);
    EXPECT_TRUE(same(camhp_get_scale_bitmap(&cam, &image), sharp(tray)));
    const std::time_t after = std::time(nullptr);
    bool named_by_time = false;  // the second may turn meanwhile
    for (std::time_t t = before; t <= after; ++t) {
        std::tm local{};
        localtime_r(&t, &local);
        const std::string second = camhp_picture_name("QXPhoto", true, local, 0, 0);
        named_by_time |= std::string(image.raw_path).compare(0, second.size() - 15, second, 0, second.size() - 15) == 0;
    }
    EXPECT_TRUE(named_by_time) << image.raw_path;
    const cv::Mat raw = cv::imread(image.raw_path);
    ASSERT_EQ(raw.size(), cv::Size(640, 480));
    EXPECT_LT(cv::norm(raw, blurred(sharp), cv::NORM_L1) / raw.total(), 3.0);  // slot 0, not the sharpest
}

TEST_F(CropScaleBitmap, SavesTheCropOnlyWhenAskedAndNeverCropsOutsideTheFrame) {
    const cv::Mat none;
    cv::Mat small;
    cv::resize(sharp, small, cv::Size(320, 240));
    const struct {
        const char* name;
        cv::Rect rect;
        cv::Mat a, b, c;
        bool save_image;
        bool crops;
        size_t files;         // in the picture folder afterwards
        const char* log_line;  // nullptr: none expected
    } cases[] = {
        {"Sharpest", tray, blurred(sharp), sharp, blurred(sharp), false, true, 1, nullptr},
        {"SharpestSaved", tray, blurred(sharp), sharp, blurred(sharp), true, true, 2, nullptr},
        {"EmptySlotZero", tray, none, blurred(sharp), sharp, false, true, 1, nullptr},
        {"SmallFramesSkipped", tray, small, sharp, small, false, true, 1, nullptr},
        {"NoRectangle", {}, sharp, sharp, sharp, true, false, 1, "rect area empty"},
        {"LeftOfTheFrame", {-20, 0, 100, 100}, sharp, sharp, sharp, true, false, 1,
         "rect area outside the camera frame x=-20,y=0,w=100,h=100"},
        {"RightOfTheFrame", {600, 0, 100, 100}, sharp, sharp, sharp, true, false, 1,
         "rect area outside the camera frame x=600,y=0,w=100,h=100"},
        {"NegativeSize", {10, 10, -5, -5}, sharp, sharp, sharp, true, false, 1,
         "rect area outside the camera frame x=10,y=10,w=-5,h=-5"},
        {"EmptyRing", tray, none, none, none, true, false, 0, "no camera frame yet"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        cam.x = c.rect.x, cam.y = c.rect.y, cam.width = c.rect.width, cam.height = c.rect.height;
        cam.save_image = c.save_image;
        fill(c.a, c.b, c.c);
        image = {};
        const cv::Mat crop = camhp_get_scale_bitmap(&cam, &image);
        EXPECT_EQ(crop.empty(), !c.crops);
        if (c.crops) {
            EXPECT_TRUE(same(crop, sharp(tray)));
        }
        EXPECT_EQ(*image.raw_path != '\0', c.files > 0);
        EXPECT_EQ(*image.crop_path != '\0', c.files > 1);
        if (c.files > 1) {
            EXPECT_EQ(cv::imread(image.crop_path).size(), tray.size());
        }
        EXPECT_EQ(file_exists("QXPhoto") ? list_dir("QXPhoto").size() : 0u, c.files);
        if (c.log_line) {
            EXPECT_EQ(log_count(c.log_line), 1);
        }
        std::filesystem::remove_all("QXPhoto");
    }
}
