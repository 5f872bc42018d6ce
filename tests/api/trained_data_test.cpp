#include "flows_fixture.h"

#include "qx_ai.h"

#include "api/context.h"
#include "support/log.h"
#include "testkit/files.h"

#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <cstring>
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
    // The matching keeps its connection from one recognition to the next:
    // after each swap (import, clearing, folder learning) it must read the
    // codes of the file now in place, not of the one it had open.
    const std::string photo = grocery("val", distinct_kinds()[3], 0);
    std::vector<std::string> codes = recognise(photo);
    ASSERT_FALSE(codes.empty());
    EXPECT_EQ(codes[0], "4004");
    ASSERT_EQ(ImportData(path), 0);
    EXPECT_EQ(index_size(), 3);
    codes = recognise(photo);
    EXPECT_FALSE(codes.empty());
    for (const std::string& code : codes) EXPECT_EQ(code, "4001");
    ASSERT_EQ(ClearTrainedData(), 0);
    EXPECT_TRUE(recognise(photo).empty());
    ASSERT_EQ(LearnFromPicData(), 0);
    codes = recognise(photo);
    ASSERT_FALSE(codes.empty());
    EXPECT_EQ(codes[0], "4004");
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

// Slots: a withdrawn slot is handed out once, and only while its row is withdrawn.

class Slots : public FlowTest {
protected:
    // Recognises a photo of `kind` and confirms it as `code`: one learned sample.
    void teach(const std::string& code, const Kind& kind, int photo) {
        std::string session;
        recognise(grocery("val", kind, photo), &session);
        ASSERT_EQ(SetFeedBack(code.c_str(), session.c_str(), 0, ""), 0) << code;
    }
    // 29998 filler rows and two learned samples of 4001: the table is full.
    void fill_the_table_with_4001() {
        ASSERT_TRUE(exec_sql("featurexYz.db",
                             "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 29998) "
                             "INSERT INTO feature_code(code, feature, update_time, deleted) "
                             "SELECT 'filler', '0.1,', CURRENT_TIMESTAMP, 0 FROM n;"));
        teach("4001", distinct_kinds()[0], 0);
        teach("4001", distinct_kinds()[0], 1);
    }
    long long live(const std::string& code) {
        return scalar("select count(*) from feature_code where deleted = 0 and code = '" + code + "'");
    }
};

TEST_F(Slots, RepeatedWithdrawalsNeverHandTheSameSlotOutTwice) {
    fill_the_table_with_4001();
    const auto& kinds = distinct_kinds();
    ASSERT_EQ(qx_ai_setnorecommend("4001"), 0);
    ASSERT_EQ(qx_ai_setnorecommend("4001"), 0);
    EXPECT_EQ(scalar("select count(*) from record_count where id > 1"), 2);
    teach("4002", kinds[1], 0);
    teach("4003", kinds[2], 0);
    teach("4004", kinds[3], 0);
    teach("4005", kinds[4], 0);
    for (const char* code : {"4002", "4003", "4004", "4005"}) EXPECT_EQ(live(code), 1) << code;
    EXPECT_EQ(scalar("select count(*) from feature_code"), 30000);
    EXPECT_EQ(scalar("select count(*) from record_count where id > 1"), 0);
    EXPECT_EQ(recognise(grocery("val", kinds[2], 0)).at(0), "4003");
}

// A write that fails after its slot was chosen (a trigger stands in for a full
// disk) leaves the slot on the stack: choosing it and writing the row are one step.
TEST_F(Slots, FailedWriteKeepsTheChosenSlot) {
    fill_the_table_with_4001();
    const auto& kinds = distinct_kinds();
    ASSERT_EQ(qx_ai_setnorecommend("4001"), 0);
    ASSERT_EQ(scalar("select count(*) from record_count where id > 1"), 2);
    ASSERT_TRUE(exec_sql("featurexYz.db",
                         "create trigger refuse before update on feature_code begin select raise(abort, 'full'); end;"));
    std::string session;
    recognise(grocery("val", kinds[1], 0), &session);
    EXPECT_NE(SetFeedBack("4002", session.c_str(), 0, ""), 0);
    EXPECT_EQ(scalar("select count(*) from record_count where id > 1"), 2);
    ASSERT_TRUE(exec_sql("featurexYz.db", "drop trigger refuse;"));
    teach("4002", kinds[1], 0);
    teach("4003", kinds[2], 0);
    EXPECT_EQ(scalar("select count(*) from feature_code where code = 'filler' and deleted = 0"), 29998);
    EXPECT_EQ(scalar("select count(*) from record_count where id > 1"), 0);
}

// Clearing: the library goes on as after Init on an empty folder.

TEST_F(TrainedData, ClearingLeavesAWorkingEmptyStore) {
    learn_three_kinds();
    ASSERT_EQ(ClearTrainedData(), 0);
    EXPECT_EQ(index_size(), 0);
    std::string session;
    EXPECT_TRUE(recognise(grocery("val", distinct_kinds()[3], 0), &session).empty());
    EXPECT_EQ(scalar("select count(*) from product_record"), 1);
    EXPECT_EQ(SetFeedBack("4004", session.c_str(), 0, ""), 0);
    EXPECT_EQ(index_size(), 1);
    char path[QX_PATH_SIZE] = "";
    ASSERT_EQ(ExportData(path), 0);
    EXPECT_TRUE(exec_sql(path, "select count(*) from feature_code"));
    EXPECT_GT(read_file(path).size(), 0u);
    EXPECT_EQ(recognise(grocery("val", distinct_kinds()[3], 1)).at(0), "4004");
}

// With no file there is nothing removed, and nothing to say so; the library
// still goes on with an empty store.
TEST_F(TrainedData, ClearingWithNoFileLogsNoRemoval) {
    learn_three_kinds();
    ASSERT_EQ(std::remove("featurexYz.db"), 0);
    logger->flush();
    const size_t before = read_file("tmp/" + today_day_file()).size();
    ASSERT_EQ(ClearTrainedData(), 0);
    logger->flush();
    EXPECT_EQ(read_file("tmp/" + today_day_file()).find("remove kvtfile", before), std::string::npos);
    EXPECT_EQ(index_size(), 0);
    EXPECT_TRUE(recognise(grocery("val", distinct_kinds()[3], 0)).empty());
}

// Importing: only a sound file of the library's own layout replaces the store,
// by one rename, with every table it needs.

TEST_F(TrainedData, ImportRefusesFilesThatAreNotTheLibrarysOwnAndKeepsEverything) {
    learn_three_kinds();
    char copy[QX_PATH_SIZE];
    ASSERT_EQ(ExportData(copy), 0);
    const std::string good = read_file(copy);
    struct Case {
        const char* name;
        std::string sql;  // applied to a copy of the export
    };
    const Case cases[] = {
        {"view", "alter table feature_code rename to samples; create view feature_code as select * from samples;"},
        {"trigger", "create trigger wipe after insert on feed_back_record begin delete from feature_code; end;"},
        {"foreign table", "create table other(x);"},
        {"no features", "drop table feature_code;"},
        {"feature_code without features",
         "create table f2(id integer primary key, code text); drop table feature_code; "
         "alter table f2 rename to feature_code;"},
    };
    const std::string before = read_file("featurexYz.db");
    auto expect_refused = [&](const std::string& file) {
        EXPECT_EQ(ImportData(file.c_str()), QX_ERR_DATA_FILE);
        EXPECT_FALSE(params->importing);
        EXPECT_EQ(read_file("featurexYz.db"), before);
        EXPECT_EQ(index_size(), 9);
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        write_file("bad.db", good);
        ASSERT_TRUE(exec_sql("bad.db", c.sql));
        expect_refused("bad.db");
    }
    {
        SCOPED_TRACE("corrupt page");
        std::string damaged = good;
        ASSERT_GT(damaged.size(), 4096u * 3);
        for (size_t i = 4096 * 2 + 8; i < 4096 * 2 + 200; ++i) damaged[i] = '\x5a';
        write_file("bad.db", damaged);
        expect_refused("bad.db");
    }
    {
        SCOPED_TRACE("not regular files");
        ASSERT_EQ(mkfifo("pipe.db", 0600), 0);
        expect_refused("pipe.db");
        expect_refused("/dev/zero");
    }
    EXPECT_EQ(recognise(grocery("val", distinct_kinds()[3], 0)).at(0), "4004");
    for (const auto& name : list_dir(".")) EXPECT_EQ(name.find(".qxtmp-"), std::string::npos) << name;
}

TEST_F(TrainedData, ImportOfOnlyTheFeatureTableGetsEveryOtherTable) {
    learn_three_kinds();
    char copy[QX_PATH_SIZE];
    ASSERT_EQ(ExportData(copy), 0);
    ASSERT_TRUE(exec_sql(copy, "drop table product_record; drop table record_count; drop table feed_back_record;"));
    ASSERT_EQ(ImportData(copy), 0);
    std::string session;
    EXPECT_EQ(recognise(grocery("val", distinct_kinds()[3], 0), &session).at(0), "4004");
    EXPECT_EQ(SetFeedBack("4001", session.c_str(), 0, ""), 0);
    EXPECT_EQ(scalar("select count(*) from feature_code where code = '4001'"), 4);
    EXPECT_EQ(scalar("select count(*) from feed_back_record"), 1);
}

TEST_F(TrainedData, ImportOfAnOlderLayoutMigratesAndServes) {
    learn_three_kinds();
    // The layout of the first releases: no deleted, update_time nor real_codes.
    ASSERT_TRUE(exec_sql("old.db",
                         "CREATE TABLE feature_code (id integer PRIMARY KEY AUTOINCREMENT, code text NOT NULL, feature "
                         "text NOT NULL); CREATE TABLE record_count (id integer PRIMARY KEY AUTOINCREMENT, count "
                         "integer NOT NULL); INSERT INTO record_count(count) VALUES (1); "
                         "CREATE TABLE product_record (id integer PRIMARY KEY AUTOINCREMENT, session_id TEXT NOT "
                         "NULL, model_code INTEGER NOT NULL, score REAL NOT NULL, feature_value TEXT NOT NULL, "
                         "image_path TEXT NOT NULL, product_ids TEXT NOT NULL, time TEXT NOT NULL); "
                         "CREATE INDEX session_id_index ON product_record(session_id);"));
    ASSERT_TRUE(exec_sql("old.db", "ATTACH 'featurexYz.db' AS now; INSERT INTO feature_code(id, code, feature) "
                                   "SELECT id, code, feature FROM now.feature_code WHERE code <> '4001';"));
    ASSERT_EQ(ImportData("old.db"), 0);
    EXPECT_EQ(index_size(), 6);
    EXPECT_EQ(scalar("select count(*) from feature_code where deleted = 0 and update_time is not null"), 6);
    std::string session;
    EXPECT_EQ(recognise(grocery("val", distinct_kinds()[3], 0), &session).at(0), "4004");
    EXPECT_EQ(SetFeedBack("4004", session.c_str(), 0, ""), 0);
    EXPECT_EQ(index_size(), 7);
}

TEST_F(TrainedData, ImportTooLargeForTheIndexIsRefusedBeforeTheFileIsReplaced) {
    learn_three_kinds();
    char copy[QX_PATH_SIZE];
    ASSERT_EQ(ExportData(copy), 0);
    // Samples the model could have made: only their number is wrong.
    ASSERT_TRUE(exec_sql(copy, "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 55000) "
                               "INSERT INTO feature_code(code, feature, update_time, deleted) "
                               "SELECT 'filler', feature, CURRENT_TIMESTAMP, 0 FROM feature_code, n "
                               "WHERE feature_code.id = 1;"));
    const std::string before = read_file("featurexYz.db");
    EXPECT_EQ(ImportData(copy), QX_ERR_DATA_FILE);
    EXPECT_FALSE(params->importing);
    EXPECT_EQ(read_file("featurexYz.db"), before);
    EXPECT_EQ(index_size(), 9);
    EXPECT_EQ(recognise(grocery("val", distinct_kinds()[3], 0)).at(0), "4004");
}

TEST_F(TrainedData, ExportPathLongerThanTheBufferIsRefused) {
    // A working folder of 253 bytes: its "data-copy" path needs 264.
    std::string folder = dir();
    while (folder.size() < 253) folder += "/" + std::string(std::min<size_t>(60, 252 - folder.size()), 'd');
    ASSERT_EQ(folder.size(), 253u);
    fs::create_directories(folder);
    ASSERT_EQ(chdir(folder.c_str()), 0);
    ASSERT_EQ(Init(), 0);
    char out[QX_PATH_SIZE + 32];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(ExportData(out), QX_ERR_DATA_FILE);
    for (size_t i = 0; i < sizeof out; ++i) ASSERT_EQ(out[i], '#') << i;
    ASSERT_EQ(chdir(dir().c_str()), 0);
}

// Rows a loaded index cannot hold: a NaN or infinite feature, an id past the
// label range. Neither is served.
TEST_F(TrainedData, RowsTheIndexCannotHoldAreLeftOut) {
    learn_three_kinds();
    std::string nan_text, inf_text;
    for (int i = 0; i < 160; ++i) nan_text += "nan,", inf_text += i == 0 ? "inf," : "0.5,";
    ASSERT_TRUE(exec_sql("featurexYz.db",
                         "INSERT INTO feature_code(code, feature, deleted) VALUES ('nan', '" + nan_text +
                             "', 0), ('inf', '" + inf_text + "', 0); "
                             "INSERT INTO feature_code(id, code, feature, deleted) SELECT 2147483648, 'far', "
                             "feature, 0 FROM feature_code WHERE code = '4004' LIMIT 1;"));
    ASSERT_EQ(Init(), 0);
    ASSERT_EQ(SaveScaleSetting(150, 70, 340, 340), 0);
    EXPECT_EQ(index_size(), 9);
    for (const std::string& code : recognise(grocery("val", distinct_kinds()[3], 0)))
        for (const char* left_out : {"nan", "inf", "far"}) EXPECT_NE(code, left_out);
}

TEST_F(TrainedData, InitRemovesOnlyItsOwnStaleTemporaries) {
    write_file(".qxtmp-import-AbC123", "half a copy");
    write_file(".qxtmp-export-x", "");
    write_file("keep.qxtmp-", "x");
    fs::create_directories(".qxtmp-folder");
    // Earlier releases' copies: a dead process's go, a running one's stay.
    write_file("featurexYz.db.part.999999999", "half a copy");
    write_file("data-copy.part.999999998", "half a copy");
    const std::string running = "data-copy.part." + std::to_string(getpid());
    write_file(running, "in use");
    write_file("data-copy.part.12ab", "x");
    ASSERT_EQ(Init(), 0);
    EXPECT_FALSE(fs::exists(".qxtmp-import-AbC123"));
    EXPECT_FALSE(fs::exists(".qxtmp-export-x"));
    EXPECT_FALSE(fs::exists("featurexYz.db.part.999999999"));
    EXPECT_FALSE(fs::exists("data-copy.part.999999998"));
    EXPECT_TRUE(fs::exists(running));
    EXPECT_TRUE(fs::exists("data-copy.part.12ab"));
    EXPECT_TRUE(fs::exists("keep.qxtmp-"));
    EXPECT_TRUE(fs::exists(".qxtmp-folder"));
}

// Another process holding the file: every call gives up after the store's
// 5 s wait instead of the minute SQLite's callers used to wait.
TEST_F(TrainedData, LockedStoreFailsWithinTheBusyWait) {
    learn_three_kinds();
    std::string session;
    recognise(grocery("val", distinct_kinds()[3], 0), &session);
    settle_records();
    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open("featurexYz.db", &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "begin exclusive", nullptr, nullptr, nullptr), SQLITE_OK);
    auto seconds = [](const std::function<void()>& call) {
        auto start = std::chrono::steady_clock::now();
        call();
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    EXPECT_LT(seconds([&] { EXPECT_EQ(SetFeedBack("4004", session.c_str(), 0, ""), QX_ERR_RECORDS); }), 15.0);
    EXPECT_LT(seconds([] { EXPECT_NE(qx_ai_setnorecommend("4004"), QX_OK); }), 15.0);
    sqlite3_exec(holder, "rollback", nullptr, nullptr, nullptr);
    sqlite3_close(holder);
    EXPECT_EQ(index_size(), 9);
    EXPECT_EQ(scalar("select count(*) from feature_code where deleted = 0"), 9);
}
