#include "store_fixture.h"

#include "support/alg.h"

#include <array>
#include <cmath>
#include <thread>

class Matching : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        db_init(&context);
    }

    // Runs a match the way a recognition does: on a worker thread, joined.
    std::vector<std::string> match(const std::vector<float>& query) {
        DB_COMPARE_IN in;
        std::copy(query.begin(), query.end(), in.feature);
        out.codes = codes.data();
        std::thread worker(db_compare_feature_faiss, &context, &in, &out);
        worker.join();
        return std::vector<std::string>(codes.begin(), codes.end());
    }

    std::array<std::string, DB_RESULT_SLOTS> codes;
    DB_COMPARE_OUT out;
};

// The query lies on the first axis; sample i sits a little farther along the
// second, so hits come in learning order, all similar.
static std::vector<float> along(float step) { return feature_of({1.0f, step}); }

// Confident means more than 0.9 similar: an identical sample is, cosine 0.8
// (similarity exactly 0.9) is not.
TEST_F(Matching, TopHitIsConfidentAboveSimilarityPointNine) {
    learn("4001", random_feature(7));
    learn("4002", feature_of({4.0f, 3.0f}));
    EXPECT_EQ(match(random_feature(7))[0], "4001");
    EXPECT_TRUE(out.top_confident);
    EXPECT_NE(log_text().find("第一个向量大于0.9的置信度 置换第一个商品代码"), std::string::npos);
    out.top_confident = false;
    EXPECT_EQ(match(feature_of({1.0f}))[0], "4002");
    EXPECT_FALSE(out.top_confident);
}

// The default search keeps each hit in its rank's slot, a repeat as "0"; a
// wider one lists distinct codes; searchK out of 6..100 means the default.
TEST_F(Matching, SearchWidthDecidesHowSlotsAreFilled) {
    const char* order[] = {"A", "A", "B", "A", "C", "B", "D", "E", "F", "G", "H", "I", "J", "K"};
    for (int i = 0; i < 14; ++i) learn(order[i], along(0.01f * (i + 1)));
    const std::vector<std::string> by_rank = {"A", "0", "B", "0", "C", "0", "", "", "", ""};
    const std::vector<std::string> distinct = {"A", "B", "C", "D", "E", "F", "G", "H", "I", "J"};
    for (const auto& [k, expected] : std::vector<std::pair<int, std::vector<std::string>>>{
             {6, by_rank}, {5, by_rank}, {101, by_rank}, {5000, by_rank}, {100, distinct}, {60, distinct}}) {
        context.search_k = k;
        codes.fill("");
        EXPECT_EQ(match(along(0.0f)), expected) << "searchK " << k;
    }
}

TEST_F(Matching, SimilarityEqualToTheThresholdDoesNotPass) {
    learn("4001", feature_of({4.0f, 3.0f}));
    context.filter_score = alg_calcul_similar(feature_of({1.0f}).data(), feature_of({4.0f, 3.0f}).data(), DB_FEATURE_VALUES);
    EXPECT_EQ(match(feature_of({1.0f}))[0], "");
    context.filter_score = std::nextafter(context.filter_score, 0.0f);
    EXPECT_EQ(match(feature_of({1.0f}))[0], "4001");
}

// The default search leaves a filtered hit's slot empty; a wider one moves a
// product up to its nearest sample that passes.
TEST_F(Matching, FilterAppliesToEachHit) {
    learn("A", feature_of({0.2f, -0.3f}));  // nearest, similarity about 0.78
    learn("B", feature_of({2.0f, 0.0f}));   // similarity 1
    learn("A", feature_of({2.5f, 0.0f}));   // similarity 1
    learn("C", feature_of({0.0f, 1.2f}));   // similarity 0.5
    context.filter_score = 0.8f;
    EXPECT_EQ(match(feature_of({1.0f})), (std::vector<std::string>{"", "B", "A", "", "", "", "", "", "", ""}));
    EXPECT_FALSE(out.top_confident);
    context.search_k = 60;
    codes.fill("");
    EXPECT_EQ(match(feature_of({1.0f})), (std::vector<std::string>{"B", "A", "", "", "", "", "", "", "", ""}));
}

TEST_F(Matching, HitWithoutItsRowStaysEmpty) {
    learn("A", along(0.1f));
    learn("B", along(0.2f));
    exec("delete from feature_code where id = 1");
    EXPECT_EQ(match(along(0.0f)), (std::vector<std::string>{"", "B", "", "", "", "", "", "", "", ""}));
}

TEST_F(Matching, DamagedFileGivesNoCodesAndNoCrash) {
    learn("A", along(0.1f));
    write_file("featurexYz.db", std::string(2048, 'Z'));
    codes[0] = "stale";
    out.top_confident = true;
    EXPECT_EQ(match(along(0.0f)), std::vector<std::string>(DB_RESULT_SLOTS));
    EXPECT_FALSE(out.top_confident);
    EXPECT_NE(log_text().find("db_compare_feature_faiss failed"), std::string::npos);
}

TEST(CodeDeduplication, LaterRepeatsBecomeZeroAndEmptySlotsStay) {
    std::string codes[8] = {"A", "", "A", "0", "B", "A", "B", ""};
    tools_string_deduplication(codes, 8);
    EXPECT_EQ(std::vector<std::string>(codes, codes + 8),
              (std::vector<std::string>{"A", "", "0", "0", "B", "0", "0", ""}));
}
