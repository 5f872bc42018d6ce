#include "camera/camhp.h"

#include "camera_kit.h"
#include "testkit/files.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <filesystem>

class PictureStore : public CameraTest {
protected:
    void SetUp() override {
        CameraTest::SetUp();
        cv::Mat crop;
        cv::resize(cv::imread(shared_path(kCarrots)), crop, cv::Size(400, 300));
        cv::imwrite("crop.jpg", crop);
        std::strcpy(image.crop_path, "crop.jpg");
        std::strcpy(image.commodity_code, "4011");
    }
    // Fills the product folder with `count` pictures named as the store names them.
    void prefill(int count) {
        mkdir("pic_data", 0700);
        mkdir("pic_data/4011", 0700);
        const cv::Mat small(224, 224, CV_8UC3, cv::Scalar(10, 20, 30));
        for (int i = 0; i < count; ++i)
            cv::imwrite("pic_data/4011/" + std::to_string(1700000000000LL + i) + ".jpg", small);
    }
    _CAMHP_IMAGE_ image{};
};

TEST_F(PictureStore, PictureIsStored224x224UnderItsMillisecondTime) {
    const long long before = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::system_clock::now().time_since_epoch()).count();
    camhp_save_commodity_pic(&image);
    const std::vector<std::string> names = list_dir("pic_data/4011");
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0], std::to_string(std::stoll(names[0])) + ".jpg");
    EXPECT_GE(std::stoll(names[0]), before);
    const cv::Mat stored = cv::imread("pic_data/4011/" + names[0]);
    EXPECT_EQ(stored.size(), cv::Size(224, 224));
    EXPECT_EQ(stored.channels(), 3);
}

TEST_F(PictureStore, EachSaveRemovesTheOldestPictureOnceTenAreThere) {
    const struct {
        int before;
        bool other_files;
        size_t after;
        bool oldest_kept;
    } cases[] = {{9, false, 10, true}, {10, false, 10, false}, {15, false, 15, false}, {9, true, 13, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.before) + (c.other_files ? " and other files" : ""));
        std::filesystem::remove_all("pic_data");
        prefill(c.before);
        if (c.other_files)  // neither counted nor deleted
            for (const char* name : {"0000.png", "notes.txt", "0001.jpeg"})
                write_file(std::string("pic_data/4011/") + name, "x");
        camhp_save_commodity_pic(&image);
        EXPECT_EQ(list_dir("pic_data/4011").size(), c.after);
        EXPECT_EQ(file_exists("pic_data/4011/1700000000000.jpg"), c.oldest_kept);
        EXPECT_TRUE(file_exists("pic_data/4011/1700000000001.jpg"));
    }
}

TEST_F(PictureStore, NoReadablePictureLeavesTheStoreAlone) {
    for (const char* path : {"", "missing.jpg", "broken.jpg"}) {
        write_file("broken.jpg", "not a picture");
        std::strcpy(image.crop_path, path);
        camhp_save_commodity_pic(&image);
    }
    camhp_save_commodity_pic(nullptr);
    EXPECT_FALSE(file_exists("pic_data"));
}

TEST_F(PictureStore, CodesThatAreNoSafeFolderNameAreRefused) {
    mkdir("pic_data", 0700);
    for (const char* code : {"", ".", "..", "../escape", "a/b", "..\\x", "/tmp"}) {
        std::strcpy(image.commodity_code, code);
        camhp_save_commodity_pic(&image);
    }
    EXPECT_EQ(list_dir("pic_data").size(), 0u);
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir()))
        if (entry.is_regular_file() && std::filesystem::relative(entry.path(), dir()).string().rfind("tmp/", 0) != 0)
            files.push_back(entry.path().filename());
    EXPECT_EQ(files, std::vector<std::string>{"crop.jpg"});
    EXPECT_EQ(log_count("commodity code refused as a folder name:"), 7);
}
