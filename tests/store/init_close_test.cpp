// The store's part of start-up and shutdown, through the exported calls.
#include "qx_ai.h"
#include "store_fixture.h"

class StoreLifecycle : public StoreTest {
protected:
    void TearDown() override {
        Close();
        StoreTest::TearDown();
    }

    void learned_file(int samples) {
        ASSERT_EQ(Init(), 0);
        for (int i = 0; i < samples; ++i) {
            std::string feature_text = text_of(random_feature(i));
            DB_COMMODITY sample;
            sample.code = "c" + std::to_string(i);
            sample.feature = feature_text.c_str();
            db_save_db_index(params, &sample);
        }
        Close();
    }
};

TEST_F(StoreLifecycle, InitBuildsTheIndexFromTheFile) {
    learned_file(3);
    ASSERT_EQ(Init(), 0);
    ASSERT_NE(params, nullptr);
    ASSERT_TRUE(params->index);
    EXPECT_EQ(params->index->get_cur_element_count(), 3);
    EXPECT_EQ(params->db_path, dir() + "/featurexYz.db");
}

TEST_F(StoreLifecycle, SecondInitRebuildsRatherThanAddsUp) {
    learned_file(3);
    ASSERT_EQ(Init(), 0);
    ASSERT_EQ(Init(), 0);
    ASSERT_TRUE(params->index);
    EXPECT_EQ(params->index->get_cur_element_count(), 3);
}

TEST_F(StoreLifecycle, CloseReleasesEverything) {
    learned_file(1);
    ASSERT_EQ(Init(), 0);
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
