#include "camera/camhp.h"

#include "camera_kit.h"
#include "testkit/files.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>

class PictureStore : public CameraTest {
protected:
    void SetUp() override {
        CameraTest::SetUp();
        std::memset(&image, 0, sizeof image);
        cv::Mat crop;
        cv::resize(cv::imread(shared_path(kCarrots)), crop, cv::Size(400, 300));
        cv::imwrite("crop.jpg", crop);
        std::strcpy(image.crop_path, "crop.jpg");
        std::strcpy(image.commodity_code, "4011");
    }
    // Fills the product folder with `count` pictures named as the store names them.
    void prefill(const std::string& code, int count) {
        mkdir("pic_data", 0700);
        mkdir(("pic_data/" + code).c_str(), 0700);
        const cv::Mat small(224, 224, CV_8UC3, cv::Scalar(10, 20, 30));
        for (int i = 0; i < count; ++i)
            cv::imwrite("pic_data/" + code + "/" + std::to_string(1700000000000LL + i) + ".jpg", small);
    }
    // Every file under the working directory, relative to it.
    std::vector<std::string> all_files() {
        std::vector<std::string> files;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(dir()))
            if (entry.is_regular_file()) files.push_back(std::filesystem::relative(entry.path(), dir()).string());
        files.erase(std::remove_if(files.begin(), files.end(),
                                   [](const std::string& f) { return f.rfind("tmp/", 0) == 0; }),
                    files.end());
        std::sort(files.begin(), files.end());
        return files;
    }
    _CAMHP_IMAGE_ image;
};

TEST_F(PictureStore, FirstPictureIsStored224x224UnderItsMillisecondTime) {
    const long long before = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::system_clock::now().time_since_epoch()).count();
    camhp_save_commodity_pic(&image);
    const std::vector<std::string> names = list_dir("pic_data/4011");
    ASSERT_EQ(names.size(), 1u);
    const long long stamp = std::stoll(names[0]);
    EXPECT_EQ(names[0], std::to_string(stamp) + ".jpg");
    EXPECT_GE(stamp, before);
    const cv::Mat stored = cv::imread("pic_data/4011/" + names[0]);
    EXPECT_EQ(stored.size(), cv::Size(224, 224));
    EXPECT_EQ(stored.channels(), 3);
}

TEST_F(PictureStore, TheTenthIsAddedTheEleventhReplacesTheOldest) {
    prefill("4011", 9);
    camhp_save_commodity_pic(&image);
    EXPECT_EQ(list_dir("pic_data/4011").size(), 10u);
    EXPECT_TRUE(file_exists("pic_data/4011/1700000000000.jpg"));
    camhp_save_commodity_pic(&image);
    const std::vector<std::string> names = list_dir("pic_data/4011");
    EXPECT_EQ(names.size(), 10u);
    EXPECT_EQ(names.front(), "1700000000001.jpg");
}

TEST_F(PictureStore, FifteenCopiedInLoseOnlyOnePerSave) {
    prefill("4011", 15);
    camhp_save_commodity_pic(&image);
    std::vector<std::string> names = list_dir("pic_data/4011");
    EXPECT_EQ(names.size(), 15u);
    EXPECT_FALSE(file_exists("pic_data/4011/1700000000000.jpg"));
    EXPECT_TRUE(file_exists("pic_data/4011/1700000000001.jpg"));
}

TEST_F(PictureStore, OtherFilesAreNeitherCountedNorDeleted) {
    prefill("4011", 9);
    write_file("pic_data/4011/0000.png", "x");
    write_file("pic_data/4011/notes.txt", "x");
    write_file("pic_data/4011/0001.jpeg", "x");
    camhp_save_commodity_pic(&image);
    EXPECT_EQ(list_dir("pic_data/4011").size(), 13u);
    EXPECT_TRUE(file_exists("pic_data/4011/1700000000000.jpg"));
    EXPECT_TRUE(file_exists("pic_data/4011/0000.png"));
}

TEST_F(PictureStore, NoReadablePictureLeavesTheStoreAlone) {
    image.crop_path[0] = '\0';  // the recognition saved no crop
    camhp_save_commodity_pic(&image);
    std::strcpy(image.crop_path, "missing.jpg");
    camhp_save_commodity_pic(&image);
    write_file("broken.jpg", "not a picture");
    std::strcpy(image.crop_path, "broken.jpg");
    camhp_save_commodity_pic(&image);
    camhp_save_commodity_pic(nullptr);
    EXPECT_FALSE(file_exists("pic_data"));
}

TEST_F(PictureStore, CodesThatAreNoSafeFolderNameAreRefused) {
    mkdir("pic_data", 0700);
    const std::vector<std::string> before = all_files();
    for (const char* code : {"", ".", "..", "../escape", "a/b", "..\\x", "/tmp"}) {
        std::strcpy(image.commodity_code, code);
        camhp_save_commodity_pic(&image);
        EXPECT_EQ(all_files(), before) << code;
    }
    EXPECT_EQ(list_dir("pic_data").size(), 0u);
    EXPECT_EQ(log_count("commodity code refused as a folder name:"), 7);
}

