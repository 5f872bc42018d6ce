#include "flows_fixture.h"

#include "qx_ai.h"

#include "api/context.h"
#include "testkit/files.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

namespace fs = std::filesystem;

class FolderLearning : public FlowTest {};

TEST_F(FolderLearning, FlatNamesGiveTheirCodeBeforeTheBackslash) {
    const Kind& banana = distinct_kinds()[0];
    fs::create_directories("pic_data");
    fs::copy_file(grocery("train", banana, 0), "pic_data/4001\\1.jpg");
    fs::copy_file(grocery("train", banana, 1), "pic_data/4001\\2.jpg");
    fs::copy_file(grocery("train", banana, 2), "pic_data/4002\\1.jpg");
    fs::copy_file(grocery("train", banana, 3), "pic_data/12345678901234567890");
    write_file("pic_data/notes.txt", "not a picture");
    ASSERT_EQ(LearnFromPicData(), 0);
    EXPECT_EQ(scalar("select count(*) from feature_code where code = '4001'"), 2);
    EXPECT_EQ(scalar("select count(*) from feature_code where code = '4002'"), 1);
    EXPECT_EQ(scalar("select count(*) from feature_code where code = '123456789012345'"), 1);
    EXPECT_EQ(scalar("select count(*) from feature_code"), 4);
    EXPECT_EQ(index_size(), 4);
    EXPECT_FALSE(params->importing);
}

TEST_F(FolderLearning, ProductFoldersOfThePictureStoreAreLearned) {
    stock_pic_data({distinct_kinds()[1]}, 3);  // one odd kind: a "4002/" folder
    fs::create_directories("pic_data/4002/nested");
    fs::create_directories("pic_data/..hidden");
    ASSERT_EQ(LearnFromPicData(), 0);
    EXPECT_EQ(scalar("select count(*) from feature_code where code = '4002'"), 3);
}

TEST_F(FolderLearning, StartsFromScratchAndEmptyFolderLeavesNothing) {
    stock_pic_data({distinct_kinds()[0]}, 2);
    ASSERT_EQ(LearnFromPicData(), 0);
    fs::remove_all("pic_data");
    ASSERT_EQ(LearnFromPicData(), 0);
    EXPECT_EQ(scalar("select count(*) from feature_code"), 0);
    EXPECT_EQ(index_size(), 0);
    EXPECT_FALSE(params->importing);
}

TEST_F(FolderLearning, OverlongPathsAreSkipped) {
    fs::create_directories("pic_data");
    std::string name = "pic_data/4001\\" + std::string(150, 'x') + ".jpg";
    fs::copy_file(grocery("train", distinct_kinds()[0], 0), name);
    ASSERT_EQ(LearnFromPicData(), 0);
    EXPECT_EQ(scalar("select count(*) from feature_code"), 0);
}

TEST_F(FolderLearning, RecognitionAndFeedbackWaitWhileLearning) {
    stock_pic_data(distinct_kinds(), 5);
    std::atomic<int> result{1};
    std::thread learner([&] { result = LearnFromPicData(); });
    while (!params->importing && result == 1) std::this_thread::yield();
    char codes[QX_CODES_SIZE] = "untouched", session[QX_SESSION_SIZE] = "untouched";
    int detect = AutoDetect(codes, session);
    int feedback = SetFeedBack("4001", "1", 0, "");
    learner.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(detect, QX_ERR_IMPORTING);
    EXPECT_EQ(feedback, QX_ERR_IMPORTING);
    EXPECT_STREQ(codes, "untouched");
    EXPECT_EQ(scalar("select count(*) from feed_back_record"), 0);
}
