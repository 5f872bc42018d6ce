// A file with more live samples than the index holds: Init serves the newest
// that fit instead of nothing, and learning into the full index goes on.
#include "store_fixture.h"

namespace {

bool holds(libhnsw::Index& index, int label) {
    libhnsw::RequireSample sample;
    index.Selectsample(sample, label);
    const bool found = sample.length > 0;
    index.freeSelectsample(&sample);
    return found;
}

}  // namespace

using StoreCapacity = StoreTest;

TEST_F(StoreCapacity, InitServesTheNewestSamplesThatFit) {
    struct Case {
        int rows;
        int left_out;
    } const cases[] = {{DB_INDEX_CAPACITY, 0}, {DB_INDEX_CAPACITY + 1, 1}, {DB_INDEX_CAPACITY + 7, 7}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rows);
        db_init(&context);
        exec("delete from feature_code; delete from sqlite_sequence; update record_count set count = 1 where id = 1;");
        fill_feature_code(c.rows);
        // Older than anything learned below, so a sample learned now is the newest.
        exec("update feature_code set update_time = '2020-01-01 00:00:00';");
        db_close(&context);
        ASSERT_NO_THROW(db_init(&context));
        ASSERT_TRUE(context.index);
        EXPECT_EQ(context.index->get_cur_element_count(), DB_INDEX_CAPACITY);
        EXPECT_EQ(holds(*context.index, 0), c.left_out == 0);
        EXPECT_TRUE(holds(*context.index, c.left_out));
        EXPECT_TRUE(holds(*context.index, c.rows - 1));
        const std::string line = std::to_string(c.left_out) + " samples left out: the index holds the newest";
        EXPECT_EQ(log_text().find(line) != std::string::npos, c.left_out > 0) << line;

        // The cursor's slot 1 holds the oldest sample: learning overwrites it.
        // A full index takes it at the next start, as the newest sample.
        EXPECT_EQ(learn("4004", random_feature(3)), 1);
        EXPECT_EQ(nearest_label(random_feature(3)) == 0, c.left_out == 0);
        db_close(&context);
        db_init(&context);
        EXPECT_EQ(nearest_label(random_feature(3)), 0);
        EXPECT_EQ(holds(*context.index, 1), c.left_out == 0);
        db_close(&context);
    }
}
