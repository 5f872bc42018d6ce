#include "flows_fixture.h"

#include "qx_ai.h"

#include "api/context.h"
#include "testkit/files.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;

class TrainedData : public FlowTest {
protected:
    void learn_three_kinds() {
        stock_pic_data({distinct_kinds()[0], distinct_kinds()[1], distinct_kinds()[3]}, 3);
        ASSERT_EQ(LearnFromPicData(), 0);
    }
};

TEST_F(TrainedData, ExportThenImportIsByteIdenticalAndServesTheImport) {
    learn_three_kinds();
    char path[4096] = "";
    ASSERT_EQ(ExportData(path), 0);
    EXPECT_EQ(std::string(path), dir() + "/data-copy");
    const std::string exported = read_file("data-copy");
    ASSERT_FALSE(exported.empty());

    ASSERT_EQ(ClearTrainedData(), 0);
    EXPECT_EQ(index_size(), 0);
    ASSERT_EQ(ImportData("data-copy"), 0);
    EXPECT_FALSE(params->importing);
    EXPECT_EQ(read_file("featurexYz.db"), exported);
    EXPECT_EQ(index_size(), 9);
    auto codes = recognise(grocery("val", distinct_kinds()[3], 0));
    ASSERT_FALSE(codes.empty());
    EXPECT_EQ(codes[0], "4004");
}

TEST_F(TrainedData, ImportReplacesWhatMatchingServes) {
    // Learn A, export it; learn B; importing A must answer with A's codes, not
    // with B's labels pointing into A's rows.
    stock_pic_data({distinct_kinds()[0]}, 3);
    ASSERT_EQ(LearnFromPicData(), 0);
    char path[4096];
    ASSERT_EQ(ExportData(path), 0);
    fs::remove_all("pic_data");
    stock_pic_data({distinct_kinds()[2], distinct_kinds()[3]}, 3);
    ASSERT_EQ(LearnFromPicData(), 0);
    ASSERT_EQ(ImportData(path), 0);
    EXPECT_EQ(index_size(), 3);
    for (const std::string& code : recognise(grocery("val", distinct_kinds()[3], 0))) EXPECT_EQ(code, "4001");
}

TEST_F(TrainedData, FailedImportKeepsTheDatabaseAndRecognition) {
    learn_three_kinds();
    const std::string before = read_file("featurexYz.db");
    write_file("garbage.db", "this is not a database at all, but long enough to look like one.....");
    write_file("empty.db", "");
    for (const char* bad : {"absent.db", "garbage.db", "empty.db", "."}) {
        EXPECT_EQ(ImportData(bad), QX_ERR_DATA_FILE) << bad;
        EXPECT_FALSE(params->importing) << bad;
        EXPECT_EQ(read_file("featurexYz.db"), before) << bad;
    }
    EXPECT_EQ(ImportData(nullptr), QX_ERR_DATA_FILE);
    auto codes = recognise(grocery("val", distinct_kinds()[3], 0));
    ASSERT_FALSE(codes.empty());
    EXPECT_EQ(codes[0], "4004");
    for (const auto& name : list_dir(".")) EXPECT_EQ(name.find(".qxtmp-"), std::string::npos) << name;
}

TEST_F(TrainedData, WithdrawalFreesSlotsShrinksIndexAndEmptiesPictures) {
    learn_three_kinds();
    write_file("pic_data/4004/1.jpg", "x");
    ASSERT_EQ(qx_ai_setnorecommend("4004"), 0);
    EXPECT_EQ(scalar("select count(*) from feature_code where code = '4004' and deleted = 1"), 3);
    EXPECT_EQ(scalar("select count(*) from record_count where id > 1"), 3);
    EXPECT_EQ(index_size(), 6);
    EXPECT_TRUE(fs::exists("pic_data/4004"));
    EXPECT_TRUE(list_dir("pic_data/4004").empty());
    for (const std::string& code : recognise(grocery("val", distinct_kinds()[3], 0))) EXPECT_NE(code, "4004");

    ASSERT_EQ(qx_ai_setnorecommend("9999"), 0);  // nothing learned: same samples
    EXPECT_EQ(index_size(), 6);
}

TEST_F(TrainedData, WithdrawalNeverEmptiesFoldersOutsideItsOwn) {
    learn_three_kinds();
    write_file("pic_data/4001/keep.jpg", "x");
    write_file("precious/keep.txt", "x");
    for (const char* code : {"", ".", "..", "../precious", "4001/..", "a\\b"}) {
        EXPECT_EQ(qx_ai_setnorecommend(code), 0) << code;
    }
    EXPECT_TRUE(fs::exists("pic_data/4001/keep.jpg"));
    EXPECT_TRUE(fs::exists("precious/keep.txt"));
    EXPECT_EQ(qx_ai_setnorecommend(nullptr), QX_ERR_ARGUMENT);
}
