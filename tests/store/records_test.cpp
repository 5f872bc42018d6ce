#include "store_fixture.h"

class Records : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        db_init(&context);
    }

    static DB_RECORD sample_record(const std::string& session) {
        DB_RECORD record;
        record.session_id = session;
        record.model_code = 3;
        record.score = 0.5f;
        record.time = 1.25f;
        record.image_path = "QXPhoto/1.jpg";
        record.feature_value = "0.500000,-0.250000,";
        record.product_ids = "12'34,4002,";
        record.real_codes = "12'34,";
        return record;
    }

    DB_FEEDBACK query_for(const std::string& session) {
        DB_FEEDBACK feedback;
        feedback.session_id = session;
        return feedback;
    }
};

TEST_F(Records, RecordComesBackFieldForField) {
    DB_RECORD saved = sample_record("20261262421571123456789");
    ASSERT_EQ(db_save_record(&context, &saved), 0);
    DB_RECORD read;
    DB_FEEDBACK key = query_for(saved.session_id);
    ASSERT_EQ(db_select_record(&context, &read, &key), 0);
    EXPECT_EQ(read.model_code, 3);
    EXPECT_EQ(read.score, 0.5f);
    EXPECT_EQ(read.time, 1.25f);
    EXPECT_EQ(read.image_path, saved.image_path);
    EXPECT_EQ(read.feature_value, saved.feature_value);
    EXPECT_EQ(read.product_ids, "12'34,4002,");
    EXPECT_EQ(read.real_codes, "12'34,");
}

TEST_F(Records, ScoreIsRealAndTimeIsText) {
    DB_RECORD saved = sample_record("s1");
    db_save_record(&context, &saved);
    EXPECT_EQ(text("select typeof(score) || ' ' || score from product_record"), "real 0.5");
    EXPECT_EQ(text("select typeof(time) || ' ' || time from product_record"), "text 1.25");
}

TEST_F(Records, UnknownSessionLeavesTheRecordAsPassed) {
    DB_RECORD saved = sample_record("s1");
    db_save_record(&context, &saved);
    DB_RECORD read = sample_record("untouched");
    read.feature_value.clear();
    DB_FEEDBACK key = query_for("s2");
    EXPECT_EQ(db_select_record(&context, &read, &key), 0);
    EXPECT_EQ(read.session_id, "untouched");
    EXPECT_EQ(read.feature_value, "");
    EXPECT_EQ(read.model_code, 3);
}

TEST_F(Records, RestartForgetsEveryRecognition) {
    DB_RECORD saved = sample_record("s1");
    db_save_record(&context, &saved);
    db_close(&context);
    db_init(&context);
    DB_RECORD read;
    DB_FEEDBACK key = query_for("s1");
    EXPECT_EQ(db_select_record(&context, &read, &key), 0);
    EXPECT_EQ(read.feature_value, "");
}

TEST_F(Records, MissingRecordTableIsReported) {
    exec("drop table product_record");
    DB_RECORD read;
    DB_FEEDBACK key = query_for("s1");
    EXPECT_EQ(db_select_record(&context, &read, &key), -1);
    EXPECT_NE(log_text().find("product_record not found , please check AutoDetect success"), std::string::npos);
}

TEST_F(Records, FailedSaveIsLoggedAndReturnsMinusOne) {
    exec("drop table product_record");
    DB_RECORD saved = sample_record("s1");
    EXPECT_EQ(db_save_record(&context, &saved), -1);
    EXPECT_NE(log_text().find("save_record failed"), std::string::npos);
}

TEST_F(Records, FeedbackStoresHitAsZeroOrOne) {
    DB_FEEDBACK yes{"12'34", "s1", true, "Bananas"};
    DB_FEEDBACK no{"4002", "s2", false, "Apples"};
    db_insert_feedback(&context, &yes);
    db_insert_feedback(&context, &no);
    EXPECT_EQ(text("select group_concat(code || ':' || session_id || ':' || hit, ' ') from feed_back_record"),
              "12'34:s1:1 4002:s2:0");
}
