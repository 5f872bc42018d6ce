// The index keeps 160 values per sample, where it used to keep 720 of which
// the last 560 were always zero. Over the same file, both must answer every
// query with the same labels, in the same order, at the same distances.
#include "store_fixture.h"

#include "testkit/feature_reference.h"

#include <sstream>

namespace {

std::string describe(const std::vector<std::pair<float, int>>& hits) {
    std::ostringstream text;
    text.precision(9);
    for (size_t i = 0; i < hits.size() && i < 8; ++i) text << "(" << hits[i].first << ", " << hits[i].second << ") ";
    return text.str();
}

}  // namespace

class IndexWidth : public StoreTest {
protected:
    // Stores every text in one transaction; the row of texts[i] is id i + 1.
    void store(const std::vector<std::string>& texts) {
        db_init(&context);
        CppSQLite3DB db;
        db.open("featurexYz.db");
        db.execDML("begin;");
        CppSQLite3Statement insert =
            db.compileStatement("insert into feature_code(code, feature, deleted) values ('c', ?, 0);");
        for (const std::string& text : texts) {
            insert.bind(1, text.c_str());
            insert.execDML();
        }
        insert.finalize();
        db.execDML("commit;");
        db.close();
        db_close(&context);
        db_init(&context);
    }

    // The index as it used to be: 720 values per sample, read with strtod.
    std::unique_ptr<libhnsw::Index> reference(const std::vector<std::string>& texts) {
        std::unique_ptr<libhnsw::Index> wide(
            new libhnsw::Index(DB_FEATURE_VALUES, 55000, libhnsw::BF_SORTED, libhnsw::L2, 16, 200, 100));
        for (size_t i = 0; i < texts.size(); ++i)
            wide->Addsample(strtod_feature_values(texts[i], DB_FEATURE_VALUES).data(), static_cast<int>(i));
        return wide;
    }

    // Queries whose answers differ between the store's index and `wide`, for
    // k = 6 (a recognition) and, for every 8th query, k = 100 (the widest searchK).
    int differing_answers(libhnsw::Index& wide, const std::vector<std::vector<float>>& queries) {
        int differing = 0;
        for (size_t q = 0; q < queries.size(); ++q) {
            const std::vector<float>& query = queries[q];
            for (int k : {6, 100}) {
                if (k == 100 && q % 8 != 0) continue;
                const auto expected = wide.Search(query.data(), k);
                const auto got = context.index->Search(query.data(), k);
                if (got == expected) continue;
                if (++differing <= 3)
                    ADD_FAILURE() << "k " << k << ": store " << describe(got) << "\nwide  " << describe(expected);
            }
        }
        return differing;
    }
};

TEST_F(IndexWidth, RealAndRandomFeaturesGiveTheSameNeighboursAsTheWideIndex) {
    const std::vector<std::vector<float>> photos = photo_features(40);
    ASSERT_GE(photos.size(), 30u);
    std::mt19937 random(14);

    // Samples: each photo's feature and further pictures near it, random
    // features, and a few stored twice, whose equal distances the labels order.
    std::vector<std::string> texts;
    for (const auto& photo : photos) {
        texts.push_back(text_of(widened(photo)));
        for (int i = 0; i < 9; ++i) texts.push_back(text_of(near(photo, 0.05f, random)));
    }
    for (unsigned seed = 1; seed <= 600; ++seed) texts.push_back(text_of(random_feature(seed)));
    for (size_t i = 0; i < 40; ++i) texts.push_back(texts[i * 23]);
    store(texts);
    ASSERT_EQ(context.index->dimension(), DB_INDEX_VALUES);
    ASSERT_EQ(context.index->get_cur_element_count(), static_cast<int>(texts.size()));

    // The stored texts, the real ones included, read to the same floats as strtod gave.
    int misread = 0;
    std::vector<float> read(DB_FEATURE_VALUES);
    for (const std::string& text : texts) {
        std::fill(read.begin(), read.end(), 0.0f);
        tool_feature_read(text.c_str(), read.data(), DB_FEATURE_VALUES);
        misread += same_bits(read, strtod_feature_values(text, DB_FEATURE_VALUES)) ? 0 : 1;
    }
    EXPECT_EQ(misread, 0);

    // Queries: the photos themselves, new pictures near them, the stored
    // twins (two hits at one distance) and random features.
    std::vector<std::vector<float>> queries;
    for (const auto& photo : photos) {
        queries.push_back(widened(photo));
        for (int i = 0; i < 40; ++i) queries.push_back(near(photo, 0.08f, random));
    }
    for (size_t i = 0; i < 40; ++i) queries.push_back(strtod_feature_values(texts[i * 23], DB_FEATURE_VALUES));
    for (unsigned seed = 5001; seed <= 6500; ++seed) queries.push_back(random_feature(seed));
    ASSERT_GE(queries.size(), 3000u);

    std::unique_ptr<libhnsw::Index> wide = reference(texts);
    EXPECT_EQ(differing_answers(*wide, queries), 0) << "of " << queries.size() << " queries";
}

// A file written by other means may hold longer features: their values beyond
// the 160th count in the distance, so such a file is searched at full width.
TEST_F(IndexWidth, LongerStoredFeatureKeepsTheFullWidth) {
    std::vector<std::string> texts;
    for (unsigned seed = 1; seed <= 200; ++seed) texts.push_back(text_of(random_feature(seed)));
    std::vector<float> longer = random_feature(7);
    longer[400] = 3.0f;
    texts.push_back(text_of(longer, 401));
    texts.push_back(text_of(random_feature(8), 300));  // longer text, zero beyond 160: no reason to widen
    store(texts);
    EXPECT_EQ(context.index->dimension(), DB_FEATURE_VALUES);
    EXPECT_NE(log_text().find("a feature has values beyond the first 160"), std::string::npos);

    std::vector<std::vector<float>> queries;
    for (unsigned seed = 1; seed <= 300; ++seed) queries.push_back(random_feature(seed));
    std::unique_ptr<libhnsw::Index> wide = reference(texts);
    EXPECT_EQ(differing_answers(*wide, queries), 0);

    texts.pop_back();
    texts.pop_back();
    texts.push_back(text_of(random_feature(8), 300));
    exec("delete from feature_code");
    store(texts);
    EXPECT_EQ(context.index->dimension(), DB_INDEX_VALUES);
}
