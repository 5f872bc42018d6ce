#include "qx_ai.h"
#include "store_fixture.h"

#include <tuple>

// Creation and migration

using FeatureDatabaseLayout = StoreTest;

// Reopening keeps the samples and the one cursor row but forgets every recognition.
TEST_F(FeatureDatabaseLayout, NewFolderGetsAllTablesAndReopeningKeepsOnlyTheSamples) {
    db_init(&context);
    EXPECT_EQ(context.db_path, dir() + "/featurexYz.db");
    EXPECT_EQ(text("select group_concat(name, ',') from (select name from sqlite_master where name not like "
                   "'sqlite_%' order by name)"),
              "feature_code,feature_producer,feed_back_record,product_record,record_count,session_id_index");
    EXPECT_EQ(text("select count(*) from pragma_table_info('feature_code') where name='deleted'"), "1");
    EXPECT_NE(log_text().find("0 row product_record has been deleted"), std::string::npos);
    learn("4001", random_feature(1));
    DB_RECORD record;
    db_save_record(&context, &record);
    db_close(&context);
    db_init(&context);
    EXPECT_EQ(text("select group_concat(id || ',' || count) from record_count"), "1,1");
    EXPECT_EQ(context.index->get_cur_element_count(), 1);
    EXPECT_EQ(text("select count(*) from product_record"), "0");
    EXPECT_NE(log_text().find("1 row product_record has been deleted"), std::string::npos);
}

// Samples without update time or deleted flag, records without real codes.
TEST_F(FeatureDatabaseLayout, OldLayoutMigratesWithItsRows) {
    exec("CREATE TABLE feature_code (id integer PRIMARY KEY AUTOINCREMENT, code text NOT NULL, feature text NOT NULL);");
    exec("insert into feature_code(code, feature) values ('4001', '" + text_of(random_feature(1)) + "'), ('4002', '" +
         text_of(random_feature(2)) + "');");
    exec("CREATE TABLE product_record (id integer PRIMARY KEY AUTOINCREMENT, session_id TEXT NOT NULL, model_code "
         "INTEGER NOT NULL, score REAL NOT NULL,feature_value TEXT NOT NULL,image_path TEXT NOT NULL,product_ids TEXT "
         "NOT NULL,time TEXT NOT NULL);");
    exec("insert into product_record(session_id, model_code, score, feature_value, image_path, product_ids, time) "
         "values ('s1', 0, 0.5, '0.1,', 'a.jpg', '4001,', '1.0');");
    ASSERT_NO_THROW(db_init(&context));
    EXPECT_EQ(text("select count(*) from feature_code where update_time is not null and deleted = 0"), "2");
    EXPECT_EQ(context.index->get_cur_element_count(), 2);
    DB_RECORD record;
    record.real_codes = "4001,";
    EXPECT_EQ(db_save_record(&context, &record), 0);
    EXPECT_EQ(text("select group_concat(real_codes) from product_record"), "4001,");
}

// Row id n is index label n - 1; a row wider than the index is cut, not overrun.
TEST_F(FeatureDatabaseLayout, LoadTakesLiveRowsUnderIdMinusOne) {
    db_init(&context);
    const std::vector<float> wide(1000, 0.5f);
    for (int id = 1; id <= 4; ++id)
        exec("insert into feature_code(id, code, feature, deleted) values (" + std::to_string(id) + ", 'c', '" +
             text_of(random_feature(id)) + "', " + (id == 3 ? "0" : "1") + ");");
    exec("insert into feature_code(id, code, feature, deleted) values (5, 'wide', '" + text_of(wide, 1000) + "', 0);");
    db_close(&context);
    db_init(&context);
    EXPECT_EQ(context.index->get_cur_element_count(), 2);
    EXPECT_EQ(nearest_label(random_feature(3)), 2);
    EXPECT_EQ(nearest_label(std::vector<float>(DB_FEATURE_VALUES, 0.5f)), 4);
}

// Learning samples and the slot rules

class SampleSlots : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        db_init(&context);
    }
};

TEST_F(SampleSlots, NewSampleGetsANewRowAndItsLabel) {
    EXPECT_EQ(learn("4001", random_feature(1)), 1);
    EXPECT_EQ(learn("12'34", random_feature(2)), 2);
    EXPECT_EQ(text("select code from feature_code where id = 2"), "12'34");
    EXPECT_EQ(text("select count(*) from feature_code where update_time is null or deleted <> 0"), "0");
    EXPECT_EQ(nearest_label(random_feature(2)), 1);
}

TEST_F(SampleSlots, TheThirtyThousandthSampleIsTheLastNewRow) {
    fill_feature_code(29999);
    EXPECT_EQ(learn("last", random_feature(1)), 30000);
    EXPECT_EQ(nearest_label(random_feature(1)), 29999);
    exec("update feature_code set deleted = 1 where id = 1");
    EXPECT_EQ(learn("again", random_feature(2)), 1);
    EXPECT_EQ(text("select count(*) from feature_code"), "30000");
    EXPECT_EQ(text("select code || ',' || deleted from feature_code where id = 1"), "again,0");
    EXPECT_EQ(nearest_label(random_feature(2)), 0);
}

// Newest withdrawn slot first, then the cursor round-robin; a broken cursor
// starts again at 1; a free-slot entry whose row is live, missing or listed
// twice is dropped, never handed out.
TEST_F(SampleSlots, FullTableReusesSlotsInTheirOrder) {
    struct Case {
        const char* setup;
        std::vector<int> ids;
        const char* cursor_after;
    };
    const Case cases[] = {
        {"update record_count set count = 29999", {29999, 30000, 1, 2}, "1:3"},
        {"update record_count set count = 30001", {1}, "1:2"},
        {"update record_count set count = 1; update feature_code set deleted = 1 where id in (17, 42); "
         "insert into record_count(count) values (17); insert into record_count(count) values (42);",
         {42, 17, 1}, "1:2"},
        {"delete from record_count", {1}, "1:2"},
        {"insert into record_count(count) values (99999)", {2}, "1:3"},
        {"update feature_code set deleted = 1 where id = 5; insert into record_count(count) values (5); "
         "insert into record_count(count) values (6); insert into record_count(count) values (5);",
         {5, 3}, "1:4"},
    };
    fill_feature_code(30000);
    unsigned seed = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.setup);
        exec(c.setup);
        for (int expected : c.ids) {
            const std::string code = "learned'" + std::to_string(++seed);
            EXPECT_EQ(learn(code, random_feature(seed)), expected);
            EXPECT_EQ(text("select code from feature_code where id = " + std::to_string(expected)), code);
            EXPECT_EQ(nearest_label(random_feature(seed)), expected - 1);
        }
        EXPECT_EQ(text("select group_concat(id || ':' || count) from record_count"), c.cursor_after);
    }
}

TEST_F(SampleSlots, DamagedFileFailsLearningAndReleasesTheLock) {
    learn("4001", random_feature(1));
    const std::string head = read_file("featurexYz.db").substr(0, 100);
    write_file("featurexYz.db", head);
    EXPECT_THROW(learn("4002", random_feature(2)), CppSQLite3Exception);
    EXPECT_EQ(read_file("featurexYz.db"), head);
    EXPECT_TRUE(g_mutex.try_lock());
    g_mutex.unlock();
}

// Through the exported start-up and shutdown

class StoreLifecycle : public StoreTest {
protected:
    void TearDown() override {
        Close();
        StoreTest::TearDown();
    }
};

TEST_F(StoreLifecycle, EveryInitRebuildsTheIndexFromTheFile) {
    ASSERT_EQ(Init(), 0);
    for (unsigned i = 0; i < 3; ++i) learn("c" + std::to_string(i), random_feature(i), params);
    ASSERT_EQ(Init(), 0);
    ASSERT_EQ(Init(), 0);
    ASSERT_TRUE(params->index);
    EXPECT_EQ(params->index->get_cur_element_count(), 3);
    EXPECT_EQ(Close(), 0);
    EXPECT_EQ(params, nullptr);
    EXPECT_EQ(Close(), 0);
}

TEST_F(StoreLifecycle, DamagedFileIsLoggedAndLeftAlone) {
    const std::string garbage(4096, 'Z');
    write_file("featurexYz.db", garbage);
    EXPECT_EQ(Init(), 0);
    ASSERT_NE(params, nullptr);
    EXPECT_FALSE(params->index);
    EXPECT_EQ(read_file("featurexYz.db"), garbage);
    EXPECT_NE(log_text().find("db_init failed"), std::string::npos);
}

// Recognition and feedback records

using Records = SampleSlots;

// An unknown session leaves the record read into untouched.
TEST_F(Records, RecordComesBackFieldForFieldWithScoreRealAndTimeText) {
    DB_RECORD saved{3, 0.5f, 1.25f, "QXPhoto/1.jpg", "0.500000,-0.250000,", "12'34,4002,", "12'34,", "s1"};
    ASSERT_EQ(db_save_record(&context, &saved), 0);
    EXPECT_EQ(text("select typeof(score) || ' ' || score || ' ' || typeof(time) || ' ' || time from product_record"),
              "real 0.5 text 1.25");
    DB_RECORD read;
    DB_FEEDBACK key{"", "s1", false, ""};
    ASSERT_EQ(db_select_record(&context, &read, &key), 0);
    EXPECT_EQ(std::tie(read.model_code, read.score, read.time, read.image_path, read.feature_value, read.product_ids,
                       read.real_codes),
              std::tie(saved.model_code, saved.score, saved.time, saved.image_path, saved.feature_value,
                       saved.product_ids, saved.real_codes));
    key.session_id = "s2";
    read.image_path = "untouched";
    EXPECT_EQ(db_select_record(&context, &read, &key), 0);
    EXPECT_EQ(read.image_path, "untouched");
}

TEST_F(Records, MissingRecordTableIsReported) {
    exec("drop table product_record");
    DB_RECORD record;
    DB_FEEDBACK key{"", "s1", false, ""};
    EXPECT_EQ(db_select_record(&context, &record, &key), -1);
    EXPECT_EQ(db_save_record(&context, &record), -1);
    const std::string log = log_text();
    EXPECT_NE(log.find("product_record not found , please check AutoDetect success"), std::string::npos);
    EXPECT_NE(log.find("save_record failed"), std::string::npos);
}

TEST_F(Records, FeedbackStoresHitAsZeroOrOne) {
    DB_FEEDBACK yes{"12'34", "s1", true, "Bananas"};
    DB_FEEDBACK no{"4002", "s2", false, "Apples"};
    db_insert_feedback(&context, &yes);
    db_insert_feedback(&context, &no);
    EXPECT_EQ(text("select group_concat(code || ':' || session_id || ':' || hit, ' ') from feed_back_record"),
              "12'34:s1:1 4002:s2:0");
}
