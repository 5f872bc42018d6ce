// Recognition records are written off the caller's time: every call that reads
// the records, copies or replaces the file, or ends the library, still finds
// each recognition that returned before it, and only those of its own file.
#include "flows_fixture.h"

#include "qx_ai.h"

#include "support/log.h"
#include "testkit/files.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

class Records : public FlowTest {
protected:
    void SetUp() override {
        FlowTest::SetUp();
        stock_pic_data({distinct_kinds()[0], distinct_kinds()[3]}, 2);
        ASSERT_EQ(LearnFromPicData(), 0);
    }
    std::string recognise_one(int n) {
        std::string session;
        recognise(grocery("val", distinct_kinds()[n % 2 == 0 ? 0 : 3], n / 2), &session);
        return session;
    }
    // Rows of product_record in `file`, read without waiting for the library.
    // Another program's connection holding the write lock of the feature
    // database (readers may go on) until release().
    struct HeldFile {
        sqlite3* db = nullptr;
        HeldFile() {
            sqlite3_open("featurexYz.db", &db);
            EXPECT_EQ(sqlite3_exec(db, "begin immediate", nullptr, nullptr, nullptr), SQLITE_OK);
        }
        void release() {
            if (db) sqlite3_exec(db, "rollback", nullptr, nullptr, nullptr);
            sqlite3_close(db);
            db = nullptr;
        }
        ~HeldFile() { release(); }
    };
    static long long rows_in(const std::string& file) {
        sqlite3* db = nullptr;
        long long rows = -1;
        sqlite3_stmt* query = nullptr;
        if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
            sqlite3_prepare_v2(db, "select count(*) from product_record", -1, &query, nullptr) == SQLITE_OK &&
            sqlite3_step(query) == SQLITE_ROW)
            rows = sqlite3_column_int64(query, 0);
        sqlite3_finalize(query);
        sqlite3_close(db);
        return rows;
    }
};

TEST_F(Records, FeedbackRightAfterEachRecognitionFindsIt) {
    std::vector<std::string> sessions;
    for (int n = 0; n < 6; ++n) sessions.push_back(recognise_one(n));
    // Newest first: the last record is the one most likely still on its way.
    for (auto session = sessions.rbegin(); session != sessions.rend(); ++session)
        EXPECT_EQ(SetFeedBack("4001", session->c_str(), 1, ""), QX_OK) << *session;
}

TEST_F(Records, ExportRightAfterARecognitionHoldsItsRecord) {
    const std::string session = recognise_one(0);
    char path[QX_PATH_SIZE] = "";
    ASSERT_EQ(ExportData(path), QX_OK);
    EXPECT_EQ(rows_in(path), 1);
}

TEST_F(Records, CloseWritesTheRecordsOfEveryReturnedRecognition) {
    for (int n = 0; n < 3; ++n) recognise_one(n);
    ASSERT_EQ(Close(), QX_OK);
    EXPECT_EQ(rows_in("featurexYz.db"), 3);
    ASSERT_EQ(Init(), QX_OK);
    EXPECT_EQ(rows_in("featurexYz.db"), 0);
}

// A record of the replaced store never lands in the one that replaces it.
TEST_F(Records, ReplacedStoreGetsNoRecordOfTheOldOne) {
    char path[QX_PATH_SIZE] = "";
    ASSERT_EQ(ExportData(path), QX_OK);
    const std::string before_import = recognise_one(1);
    ASSERT_EQ(ImportData(path), QX_OK);
    EXPECT_EQ(SetFeedBack("4004", before_import.c_str(), 1, ""), QX_ERR_NO_RECOGNITION);
    const std::string before_clear = recognise_one(2);
    ASSERT_EQ(ClearTrainedData(), QX_OK);
    EXPECT_EQ(SetFeedBack("4001", before_clear.c_str(), 1, ""), QX_ERR_NO_RECOGNITION);
    EXPECT_EQ(rows_in("featurexYz.db"), 0);
}

// A record that cannot be written is logged; the recognition still answers and
// the feedback reports the missing records instead of waiting for them.
TEST_F(Records, UnwritableRecordIsLoggedAndFeedbackReportsIt) {
    ASSERT_TRUE(exec_sql("featurexYz.db", "drop table product_record"));
    const std::string session = recognise_one(0);
    EXPECT_FALSE(session.empty());
    EXPECT_EQ(SetFeedBack("4001", session.c_str(), 1, ""), QX_ERR_RECORDS);
    logger->flush();
    EXPECT_NE(read_file("tmp/" + today_day_file()).find("save_record failed"), std::string::npos);
}

// A file held longer than the store's own 5 s wait does not lose the record:
// the writer waits as long as SQLite's default, and the feedback finds it.
TEST_F(Records, RecordOutlastsAFileHeldLongerThanTheStoresWait) {
    settle_records();
    HeldFile held;
    const std::string session = recognise_one(0);
    std::this_thread::sleep_for(std::chrono::seconds(7));
    held.release();
    EXPECT_EQ(SetFeedBack("4001", session.c_str(), 0, ""), QX_OK);
    EXPECT_EQ(rows_in("featurexYz.db"), 1);
}

// Close does not wait that long: what still waits for the held file is
// dropped, and one log line counts it.
TEST_F(Records, CloseDropsRecordsOfAHeldFileWithOneLine) {
    settle_records();
    HeldFile held;
    for (int n = 0; n < 3; ++n) recognise_one(n);
    ASSERT_EQ(Close(), QX_OK);
    held.release();
    EXPECT_EQ(rows_in("featurexYz.db"), 0);
    logger->flush();
    const std::string logged = read_file("tmp/" + today_day_file());
    EXPECT_NE(logged.find("3 recognition records dropped on closing"), std::string::npos);
    EXPECT_EQ(logged.find("save_record failed"), std::string::npos);
}
