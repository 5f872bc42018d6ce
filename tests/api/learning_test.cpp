#include "flows_fixture.h"

#include "qx_ai.h"

#include "api/context.h"
#include "support/log.h"
#include "testkit/files.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <filesystem>
#include <functional>
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

// The log shows a run as it always has: the old data cleared, the new index
// loaded, and three lines for every sample learned.
TEST_F(FolderLearning, RunLogsClearingReloadingAndEverySample) {
    stock_pic_data({distinct_kinds()[0], distinct_kinds()[1]}, 2);
    logger->flush();
    const size_t before = read_file("tmp/" + today_day_file()).size();
    ASSERT_EQ(LearnFromPicData(), 0);
    logger->flush();
    const std::string logged = read_file("tmp/" + today_day_file()).substr(before);
    auto lines = [&](const std::string& text) {
        size_t n = 0;
        for (size_t at = logged.find(text); at != std::string::npos; at = logged.find(text, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(lines("remove kvtfile successed"), 1u);
    EXPECT_EQ(lines("idx init cost:"), 1u);
    for (const char* each : {"lastId is ", "cover label is ", "index size is "}) EXPECT_EQ(lines(each), 4u) << each;
    EXPECT_NE(logged.find("cover label is 3\n"), std::string::npos);
    EXPECT_NE(logged.find("index size is 4\n"), std::string::npos);
}

// A folder inside a product's folder was skipped without a word, the run
// answering QX_OK with nothing learned from it: each one is logged now.
TEST_F(FolderLearning, ProductFoldersOfThePictureStoreAreLearned) {
    stock_pic_data({distinct_kinds()[1]}, 3);  // one odd kind: a "4002/" folder
    fs::create_directories("pic_data/4002/nested");
    fs::copy_file(grocery("train", distinct_kinds()[1], 5), "pic_data/4002/nested/5.jpg");
    fs::create_directories("pic_data/4003/2024");
    fs::create_directories("pic_data/4003\\x");
    fs::create_directories("pic_data/..hidden");
    logger->flush();
    const size_t before = read_file("tmp/" + today_day_file()).size();
    ASSERT_EQ(LearnFromPicData(), 0);
    EXPECT_EQ(scalar("select count(*) from feature_code where code = '4002'"), 3);
    EXPECT_EQ(scalar("select count(*) from feature_code"), 3);
    logger->flush();
    const std::string logged = read_file("tmp/" + today_day_file()).substr(before);
    for (const char* line : {"folder learning skips pic_data/4002/nested/: a folder inside a product's folder is not read",
                             "folder learning skips pic_data/4003/2024/: a folder inside a product's folder is not read",
                             "folder learning skips pic_data/4003\\x/: its name is no product code"})
        EXPECT_NE(logged.find(line), std::string::npos) << line;
    EXPECT_EQ(logged.find("skips pic_data/4002/./"), std::string::npos);
    EXPECT_EQ(logged.find("skips pic_data/..hidden/"), std::string::npos);
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

// While a run learns, the calls that need the learned data as a whole answer
// at once: AutoDetect and SetFeedBack, clearing, withdrawing and a second
// rebuild are refused; TestDetect and ExportData are served from the store in
// force, which the run only replaces once it is done.
TEST_F(FolderLearning, CallsDuringARunAnswerAtOnce) {
    stock_pic_data({distinct_kinds()[0]}, 2);
    ASSERT_EQ(LearnFromPicData(), 0);
    fs::remove_all("pic_data");
    stock_pic_data(distinct_kinds(), 5);
    std::atomic<int> result{1};
    std::thread learner([&] { result = LearnFromPicData(); });
    while (!params->importing && result == 1) std::this_thread::yield();
    char codes[QX_CODES_SIZE] = "untouched", session[QX_SESSION_SIZE] = "untouched";
    char tested[QX_CODES_SIZE] = "", tested_session[QX_SESSION_SIZE] = "", exported[QX_PATH_SIZE] = "";
    const std::string photo = grocery("val", distinct_kinds()[0], 0);
    const struct {
        const char* call;
        std::function<int()> run;
        int expected;
    } cases[] = {
        {"AutoDetect", [&] { return AutoDetect(codes, session); }, QX_ERR_IMPORTING},
        {"SetFeedBack", [] { return SetFeedBack("4001", "1", 0, ""); }, QX_ERR_IMPORTING},
        {"TestDetect", [&] { return TestDetect(photo.c_str(), tested, tested_session); }, QX_OK},
        {"ExportData", [&] { return ExportData(exported); }, QX_OK},
        {"ClearTrainedData", [] { return ClearTrainedData(); }, QX_ERR_IMPORTING},
        {"qx_ai_setnorecommend", [] { return qx_ai_setnorecommend("4001"); }, QX_ERR_IMPORTING},
        {"ImportData", [] { return ImportData("data-copy"); }, QX_ERR_IMPORTING},
        {"LearnFromPicData", [] { return LearnFromPicData(); }, QX_ERR_IMPORTING},
    };
    for (const auto& c : cases) EXPECT_EQ(c.run(), c.expected) << c.call;
    const bool still_learning = params->importing;
    learner.join();
    ASSERT_TRUE(still_learning) << "the run ended before the calls were made: nothing was shown";
    EXPECT_EQ(result, 0);
    EXPECT_STREQ(codes, "untouched");
    EXPECT_STREQ(tested, "4001,") << "served from the store in force";
    EXPECT_EQ(scalar("select count(*) from feed_back_record"), 0);
    EXPECT_EQ(scalar("select count(*) from feature_code"), 40);
    EXPECT_EQ(scalar("select count(*) from feature_code", exported), 2) << "the export is of the store before the run";
}

// A run that fails half-way (here the disk refuses the new store's growth)
// keeps the previous store and index and does not block recognition.
TEST_F(FolderLearning, FailedRunKeepsThePreviousStoreAndRecognition) {
    stock_pic_data({distinct_kinds()[0], distinct_kinds()[1]}, 2);
    ASSERT_EQ(LearnFromPicData(), 0);
    const std::string before = read_file("featurexYz.db");
    stock_pic_data({distinct_kinds()[2], distinct_kinds()[3], distinct_kinds()[4], distinct_kinds()[5]}, 5);

    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = saved;
    small.rlim_cur = 40 * 1024;  // room for the empty tables, not for the samples
    auto previous_handler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    int result = LearnFromPicData();
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous_handler);

    EXPECT_EQ(result, QX_ERR_DETECT_FAILED);
    EXPECT_FALSE(params->importing);
    EXPECT_EQ(read_file("featurexYz.db"), before);
    EXPECT_EQ(index_size(), 4);
    char codes[QX_CODES_SIZE] = "", session[QX_SESSION_SIZE] = "";
    EXPECT_NE(AutoDetect(codes, session), QX_ERR_IMPORTING);
    EXPECT_EQ(recognise(grocery("val", distinct_kinds()[1], 0)).at(0), "4002");
    for (const auto& name : list_dir(".")) EXPECT_EQ(name.find(".qxtmp-"), std::string::npos) << name;
}

// Entries whose code breaks the code list are skipped with a log line each:
// a comma once made one folder two codes, a control character a code no host
// can send back.
TEST_F(FolderLearning, EntriesWhoseCodeBreaksTheCodeListAreSkipped) {
    const Kind& banana = distinct_kinds()[0];
    const std::string too_long(QX_CODE_MAX + 1, '8');
    for (const std::string& folder : {std::string("4001"), std::string("5,6"), too_long, std::string("7\t7")})
        fs::create_directories("pic_data/" + folder);
    fs::copy_file(grocery("train", banana, 0), "pic_data/4001/a.jpg");
    fs::copy_file(grocery("train", banana, 1), "pic_data/5,6/a.jpg");
    fs::copy_file(grocery("train", banana, 2), "pic_data/" + too_long + "/a.jpg");
    fs::copy_file(grocery("train", banana, 3), "pic_data/7\t7/a.jpg");
    fs::copy_file(grocery("train", banana, 4), "pic_data/4,5\\1.jpg");
    fs::copy_file(grocery("train", banana, 5), "pic_data/0\\1.jpg");
    ASSERT_EQ(LearnFromPicData(), 0);
    EXPECT_EQ(scalar("select count(*) from feature_code"), 1);
    EXPECT_EQ(scalar("select count(*) from feature_code where code = '4001'"), 1);
    logger->flush();
    const std::string log = read_file("tmp/" + today_day_file());
    size_t skipped = 0;
    for (size_t at = log.find("skipped: its product code is"); at != std::string::npos;
         at = log.find("skipped: its product code is", at + 1))
        ++skipped;
    EXPECT_EQ(skipped, 5u);
}
