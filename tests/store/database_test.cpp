#include "store_fixture.h"

#include <algorithm>

// ---------------------------------------------------------------------------
// Creation and migration

class FeatureDatabaseLayout : public StoreTest {};

TEST_F(FeatureDatabaseLayout, NewFolderGetsAllTablesAndTheCursorRow) {
    db_init(&context);
    EXPECT_EQ(context.db_path, dir() + "/featurexYz.db");
    for (const char* table : {"feature_code", "feed_back_record", "product_record", "record_count"})
        EXPECT_EQ(scalar(std::string("select count(*) from sqlite_master where type='table' and name='") + table + "'"), 1)
            << table;
    EXPECT_EQ(scalar("select count(*) from sqlite_master where type='index' and name='session_id_index'"), 1);
    EXPECT_EQ(scalar("select count(*) from pragma_table_info('feature_code') where name='deleted'"), 1);
    EXPECT_EQ(text("select id || ',' || count from record_count"), "1,1");
    EXPECT_NE(log_text().find("0 row product_record has been deleted"), std::string::npos);
    ASSERT_TRUE(context.index);
    EXPECT_EQ(context.index->get_cur_element_count(), 0);
}

TEST_F(FeatureDatabaseLayout, SecondInitKeepsSamplesAndTheSingleCursorRow) {
    db_init(&context);
    learn("4001", random_feature(1));
    db_close(&context);
    db_init(&context);
    EXPECT_EQ(scalar("select count(*) from record_count"), 1);
    EXPECT_EQ(scalar("select count(*) from feature_code"), 1);
    EXPECT_EQ(context.index->get_cur_element_count(), 1);
}

TEST_F(FeatureDatabaseLayout, RowsWithoutUpdateTimeGetTheMigrationTime) {
    exec("CREATE TABLE feature_code (id integer PRIMARY KEY AUTOINCREMENT, code text NOT NULL, feature text NOT NULL);");
    exec("insert into feature_code(code, feature) values ('4001', '" + text_of(random_feature(1)) + "'), ('4002', '" +
         text_of(random_feature(2)) + "');");
    db_init(&context);
    EXPECT_EQ(scalar("select count(*) from feature_code where update_time is null"), 0);
    EXPECT_EQ(scalar("select count(*) from feature_code where deleted = 0"), 2);
    EXPECT_EQ(context.index->get_cur_element_count(), 2);
}

TEST_F(FeatureDatabaseLayout, OldRecordTableWithRowsMigrates) {
    exec("CREATE TABLE product_record (id integer PRIMARY KEY AUTOINCREMENT, session_id TEXT NOT NULL, model_code "
         "INTEGER NOT NULL, score REAL NOT NULL,feature_value TEXT NOT NULL,image_path TEXT NOT NULL,product_ids TEXT "
         "NOT NULL,time TEXT NOT NULL);");
    exec("insert into product_record(session_id, model_code, score, feature_value, image_path, product_ids, time) "
         "values ('s1', 0, 0.5, '0.1,', 'a.jpg', '4001,', '1.0');");
    ASSERT_NO_THROW(db_init(&context));
    EXPECT_EQ(scalar("select count(*) from pragma_table_info('product_record') where name='real_codes'"), 1);
    EXPECT_EQ(scalar("select count(*) from product_record"), 0);
    DB_RECORD record;
    record.session_id = "s2";
    EXPECT_EQ(db_save_record(&context, &record), 0);
}

TEST_F(FeatureDatabaseLayout, LoadTakesLiveRowsUnderIdMinusOne) {
    db_init(&context);
    for (int id = 1; id <= 5; ++id)
        exec("insert into feature_code(id, code, feature, deleted) values (" + std::to_string(id) + ", 'c" +
             std::to_string(id) + "', '" + text_of(random_feature(id)) + "', " + (id == 3 || id == 5 ? "0" : "1") +
             ");");
    db_close(&context);
    db_init(&context);
    ASSERT_EQ(context.index->get_cur_element_count(), 2);
    auto near3 = context.index->Search(random_feature(3).data(), 1);
    auto near5 = context.index->Search(random_feature(5).data(), 1);
    ASSERT_EQ(near3.size(), 1u);
    EXPECT_EQ(near3[0].second, 2);
    EXPECT_EQ(near5[0].second, 4);
}

TEST_F(FeatureDatabaseLayout, OverlongFeatureTextIsCutAtTheRowWidth) {
    db_init(&context);
    std::vector<float> wide(1000, 0.5f);
    exec("insert into feature_code(code, feature, deleted) values ('wide', '" + text_of(wide, 1000) + "', 0);");
    db_close(&context);
    ASSERT_NO_THROW(db_init(&context));
    EXPECT_EQ(context.index->get_cur_element_count(), 1);
}

// ---------------------------------------------------------------------------
// Learning samples and the slot rules

class SampleSlots : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        db_init(&context);
    }

    // Where a search for `feature` lands: the label of the nearest sample.
    int nearest_label(const std::vector<float>& feature) {
        auto hits = context.index->Search(feature.data(), 1);
        return hits.empty() ? -1 : hits[0].second;
    }
};

TEST_F(SampleSlots, NewSampleGetsANewRowAndItsLabel) {
    EXPECT_EQ(learn("4001", random_feature(1)), 1);
    EXPECT_EQ(learn("4002", random_feature(2)), 2);
    EXPECT_EQ(text("select code from feature_code where id = 2"), "4002");
    EXPECT_EQ(scalar("select count(*) from feature_code where update_time is null or deleted <> 0"), 0);
    EXPECT_EQ(nearest_label(random_feature(2)), 1);
    EXPECT_EQ(context.index->get_cur_element_count(), 2);
}

TEST_F(SampleSlots, RowThirtyThousandIsStillNew) {
    fill_feature_code(29999);
    EXPECT_EQ(learn("last", random_feature(1)), 30000);
    EXPECT_EQ(scalar("select count(*) from feature_code"), 30000);
    EXPECT_EQ(nearest_label(random_feature(1)), 29999);
}

TEST_F(SampleSlots, FullTableOverwritesTheCursorSlot) {
    fill_feature_code(29999);
    learn("last", random_feature(1));
    exec("update feature_code set deleted = 1 where id = 1");
    EXPECT_EQ(learn("again", random_feature(2)), 1);
    EXPECT_EQ(scalar("select count(*) from feature_code"), 30000);
    EXPECT_EQ(text("select code || ',' || deleted from feature_code where id = 1"), "again,0");
    EXPECT_EQ(nearest_label(random_feature(2)), 0);
}

TEST_F(SampleSlots, CursorMovesOnRoundRobin) {
    fill_feature_code(30000);
    exec("update record_count set count = 29999 where id = 1");
    EXPECT_EQ(learn("a", random_feature(1)), 29999);
    EXPECT_EQ(learn("b", random_feature(2)), 30000);
    EXPECT_EQ(learn("c", random_feature(3)), 1);
    EXPECT_EQ(learn("d", random_feature(4)), 2);
    EXPECT_EQ(scalar("select count from record_count where id = 1"), 3);
}

TEST_F(SampleSlots, CursorBeyondCapacityRestartsAtOne) {
    fill_feature_code(30000);
    exec("update record_count set count = 30001 where id = 1");
    EXPECT_EQ(db_get_id(&context), 1);
    EXPECT_EQ(scalar("select count from record_count where id = 1"), 2);
}

TEST_F(SampleSlots, WithdrawnSlotsAreReusedNewestFirst) {
    fill_feature_code(30000);
    exec("insert into record_count(count) values (17)");
    exec("insert into record_count(count) values (42)");
    EXPECT_EQ(learn("x", random_feature(1)), 42);
    EXPECT_EQ(learn("y", random_feature(2)), 17);
    EXPECT_EQ(scalar("select count(*) from record_count"), 1);
    EXPECT_EQ(scalar("select count from record_count where id = 1"), 1);
    EXPECT_EQ(learn("z", random_feature(3)), 1);
}

TEST_F(SampleSlots, StaleWithdrawnSlotStillStoresTheSample) {
    fill_feature_code(30000);
    exec("insert into record_count(count) values (99999)");
    int id = learn("kept", random_feature(1));
    EXPECT_EQ(text("select code from feature_code where id = " + std::to_string(id)), "kept");
    EXPECT_EQ(nearest_label(random_feature(1)), id - 1);
}

TEST_F(SampleSlots, LostCursorRowIsRecreated) {
    fill_feature_code(30000);
    exec("delete from record_count");
    EXPECT_EQ(learn("x", random_feature(1)), 1);
    EXPECT_EQ(scalar("select count from record_count where id = 1"), 2);
    EXPECT_EQ(scalar("select count(*) from feature_code"), 30000);
}

TEST_F(SampleSlots, CodeWithApostropheIsStoredAsIs) {
    learn("12'34", random_feature(1));
    EXPECT_EQ(text("select code from feature_code where id = 1"), "12'34");
}

TEST_F(SampleSlots, CloseReleasesTheIndexAndToleratesRepeats) {
    db_close(&context);
    EXPECT_FALSE(context.index);
    db_close(&context);
    EXPECT_FALSE(context.index);
}

// ---------------------------------------------------------------------------
// Damaged files: failures are reported, nothing is deleted

class DamagedDatabase : public StoreTest {};

TEST_F(DamagedDatabase, GarbageFileFailsInitAndStaysUntouched) {
    const std::string garbage(4096, 'Z');
    write_file("featurexYz.db", garbage);
    EXPECT_THROW(db_init(&context), CppSQLite3Exception);
    EXPECT_EQ(read_file("featurexYz.db"), garbage);
}

TEST_F(DamagedDatabase, TruncatedFileFailsLearningWithoutLosingTheRest) {
    db_init(&context);
    learn("4001", random_feature(1));
    std::string whole = read_file("featurexYz.db");
    write_file("featurexYz.db", whole.substr(0, 100));
    std::string feature_text = text_of(random_feature(2));
    DB_COMMODITY sample;
    sample.code = "4002";
    sample.feature = feature_text.c_str();
    EXPECT_THROW(db_save_db_index(&context, &sample), CppSQLite3Exception);
    EXPECT_EQ(read_file("featurexYz.db"), whole.substr(0, 100));
    // The store lock was released on the way out.
    EXPECT_TRUE(g_mutex.try_lock());
    g_mutex.unlock();
}
