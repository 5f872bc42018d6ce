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
    void match(const std::vector<float>& query) {
        DB_COMPARE_IN in;
        std::copy(query.begin(), query.end(), in.feature);
        out.codes = codes.data();
        std::thread worker(db_compare_feature_faiss, &context, &in, &out);
        worker.join();
    }

    std::vector<std::string> slots() const { return std::vector<std::string>(codes.begin(), codes.end()); }

    std::array<std::string, DB_RESULT_SLOTS> codes;
    DB_COMPARE_OUT out;
};

// The query lies at the origin of the first axis; sample i sits a little
// farther along the second, so hits come in learning order, all similar.
static std::vector<float> along(float step) { return feature_of({1.0f, step}); }

TEST_F(Matching, IdenticalSampleFillsSlotZeroAndIsConfident) {
    learn("4001", random_feature(7));
    context.filter_score = 0.98f;
    match(random_feature(7));
    EXPECT_EQ(codes[0], "4001");
    EXPECT_TRUE(out.top_confident);
    EXPECT_NE(log_text().find("第一个向量大于0.9的置信度 置换第一个商品代码"), std::string::npos);
}

TEST_F(Matching, RepeatedCodesBecomeZeroInPlace) {
    const char* order[] = {"A", "B", "A", "C", "A", "B", "D"};
    for (int i = 0; i < 7; ++i) learn(order[i], along(0.01f * (i + 1)));
    match(along(0.0f));
    EXPECT_EQ(slots(), (std::vector<std::string>{"A", "B", "0", "C", "0", "0", "", "", "", ""}));
}

TEST_F(Matching, SimilarityEqualToTheThresholdDoesNotPass) {
    learn("4001", feature_of({4.0f, 3.0f}));
    context.filter_score = alg_calcul_similar(feature_of({1.0f}).data(), feature_of({4.0f, 3.0f}).data(), DB_FEATURE_VALUES);
    match(feature_of({1.0f}));
    EXPECT_EQ(codes[0], "");
    context.filter_score = std::nextafter(context.filter_score, 0.0f);
    match(feature_of({1.0f}));
    EXPECT_EQ(codes[0], "4001");
}

TEST_F(Matching, SimilarityOfExactlyPointNineIsNotConfident) {
    // cosine 0.8 maps to a similarity of 0.9
    learn("4001", feature_of({4.0f, 3.0f}));
    match(feature_of({1.0f}));
    EXPECT_EQ(codes[0], "4001");
    EXPECT_FALSE(out.top_confident);
}

TEST_F(Matching, FilteredHitsLeaveTheirSlotsEmpty) {
    learn("near-but-askew", feature_of({0.2f, -0.3f}));   // nearest, similarity about 0.78
    learn("aligned", feature_of({2.0f, 0.0f}));            // second, similarity 1
    learn("across", feature_of({0.0f, 1.2f}));             // third, similarity 0.5
    context.filter_score = 0.8f;
    match(feature_of({1.0f}));
    EXPECT_EQ(slots(), (std::vector<std::string>{"", "aligned", "", "", "", "", "", "", "", ""}));
    EXPECT_FALSE(out.top_confident);
}

TEST_F(Matching, ThreeSamplesGiveThreeHits) {
    learn("A", along(0.1f));
    learn("B", along(0.2f));
    learn("C", along(0.3f));
    match(along(0.0f));
    EXPECT_EQ(slots(), (std::vector<std::string>{"A", "B", "C", "", "", "", "", "", "", ""}));
}

TEST_F(Matching, EmptyIndexGivesNothing) {
    match(random_feature(1));
    EXPECT_EQ(slots(), std::vector<std::string>(DB_RESULT_SLOTS));
    EXPECT_FALSE(out.top_confident);
}

TEST_F(Matching, HitWithoutItsRowStaysEmpty) {
    learn("A", along(0.1f));
    learn("B", along(0.2f));
    exec("delete from feature_code where id = 1");
    match(along(0.0f));
    EXPECT_EQ(slots(), (std::vector<std::string>{"", "B", "", "", "", "", "", "", "", ""}));
}

TEST_F(Matching, MissingFeatureTableLeavesTheResultUntouched) {
    learn("A", along(0.1f));
    exec("drop table feature_code");
    codes[3] = "kept";
    match(along(0.0f));
    EXPECT_EQ(codes[0], "");
    EXPECT_EQ(codes[3], "kept");
}

TEST_F(Matching, DamagedFileGivesNoCodesAndNoCrash) {
    learn("A", along(0.1f));
    write_file("featurexYz.db", std::string(2048, 'Z'));
    codes[0] = "stale";
    out.top_confident = true;
    match(along(0.0f));
    EXPECT_EQ(slots(), std::vector<std::string>(DB_RESULT_SLOTS));
    EXPECT_FALSE(out.top_confident);
    EXPECT_NE(log_text().find("db_compare_feature_faiss failed"), std::string::npos);
}

class WideMatching : public Matching {
protected:
    void SetUp() override {
        Matching::SetUp();
        context.search_k = 60;
    }
};

TEST_F(WideMatching, SlotsHoldDistinctCodesInOrderOfEachNearestSample) {
    const char* order[] = {"A", "A", "B", "A", "C", "B", "D", "E", "F", "G", "H", "I", "J", "K"};
    for (int i = 0; i < 14; ++i) learn(order[i], along(0.01f * (i + 1)));
    match(along(0.0f));
    EXPECT_EQ(slots(), (std::vector<std::string>{"A", "B", "C", "D", "E", "F", "G", "H", "I", "J"}));
}

TEST_F(WideMatching, FilterAppliesToEachHit) {
    learn("A", feature_of({0.2f, -0.3f}));  // A's nearest sample is askew
    learn("B", feature_of({2.0f, 0.0f}));
    learn("A", feature_of({2.5f, 0.0f}));   // A's aligned sample comes later
    context.filter_score = 0.8f;
    match(feature_of({1.0f}));
    EXPECT_EQ(slots(), (std::vector<std::string>{"B", "A", "", "", "", "", "", "", "", ""}));
    EXPECT_FALSE(out.top_confident);
}

TEST_F(WideMatching, OutOfRangeValueFallsBackToSix) {
    context.search_k = 5000;
    const char* order[] = {"A", "B", "C", "D", "E", "F", "G"};
    for (int i = 0; i < 7; ++i) learn(order[i], along(0.01f * (i + 1)));
    match(along(0.0f));
    EXPECT_EQ(slots(), (std::vector<std::string>{"A", "B", "C", "D", "E", "F", "", "", "", ""}));
}

TEST(CodeDeduplication, LaterRepeatsBecomeZeroAndEmptySlotsStay) {
    std::string codes[8] = {"A", "", "A", "0", "B", "A", "B", ""};
    tools_string_deduplication(codes, 8);
    EXPECT_EQ(std::vector<std::string>(codes, codes + 8),
              (std::vector<std::string>{"A", "", "0", "0", "B", "0", "0", ""}));
}
