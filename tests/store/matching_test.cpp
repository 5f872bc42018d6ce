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

// The list takes distinct codes in distance order until it holds six; searchK
// bounds the samples looked at (6 gives the list of the six nearest, as
// before the list was filled); a value out of 6..100 is held to its nearer end.
TEST_F(Matching, SearchKBoundsTheSamplesLookedAt) {
    const char* order[] = {"A", "A", "B", "A", "C", "B", "D", "E", "F", "G", "H", "I", "J", "K"};
    for (int i = 0; i < 14; ++i) learn(order[i], along(0.01f * (i + 1)));
    const std::vector<std::string> nearest = {"A", "B", "C", "", "", "", "", "", "", ""};
    const std::vector<std::string> seventh = {"A", "B", "C", "D", "", "", "", "", "", ""};
    const std::vector<std::string> filled = {"A", "B", "C", "D", "E", "F", "", "", "", ""};
    for (const auto& [k, expected] : std::vector<std::pair<int, std::vector<std::string>>>{
             {6, nearest}, {7, seventh}, {5, nearest}, {-3, nearest}, {101, filled}, {5000, filled}, {100, filled}, {60, filled}}) {
        context.search_k = k;
        codes.fill("");
        EXPECT_EQ(match(along(0.0f)), expected) << "searchK " << k;
    }
}

// One product with many samples around the query no longer crowds the others
// out of the list, as long as searchK reaches past its samples.
TEST_F(Matching, OneProductWithManySamplesLeavesRoomForOthers) {
    for (int i = 0; i < 40; ++i) learn("A", along(0.001f * (i + 1)));
    for (const char* code : {"B", "C", "D", "E", "F", "G"}) learn(code, along(0.1f + 0.01f * (code[0] - 'A')));
    EXPECT_EQ(match(along(0.0f)), (std::vector<std::string>{"A", "B", "C", "D", "E", "F", "", "", "", ""}));
    context.search_k = 40;
    codes.fill("");
    EXPECT_EQ(match(along(0.0f)), (std::vector<std::string>{"A", "", "", "", "", "", "", "", "", ""}));
    context.search_k = 42;
    codes.fill("");
    EXPECT_EQ(match(along(0.0f)), (std::vector<std::string>{"A", "B", "C", "", "", "", "", "", "", ""}));
}

TEST_F(Matching, SimilarityEqualToTheThresholdDoesNotPass) {
    learn("4001", feature_of({4.0f, 3.0f}));
    context.filter_score = alg_calcul_similar(feature_of({1.0f}).data(), feature_of({4.0f, 3.0f}).data(), DB_FEATURE_VALUES);
    EXPECT_EQ(match(feature_of({1.0f}))[0], "");
    context.filter_score = std::nextafter(context.filter_score, 0.0f);
    EXPECT_EQ(match(feature_of({1.0f}))[0], "4001");
}

// A filtered sample gives no code; its product may still be listed at the
// rank of a farther sample that passes.
TEST_F(Matching, FilterAppliesToEachHit) {
    learn("A", feature_of({0.2f, -0.3f}));  // nearest, similarity about 0.78
    learn("B", feature_of({2.0f, 0.0f}));   // similarity 1
    learn("A", feature_of({2.5f, 0.0f}));   // similarity 1
    learn("C", feature_of({0.0f, 1.2f}));   // similarity 0.5
    context.filter_score = 0.8f;
    EXPECT_EQ(match(feature_of({1.0f})), (std::vector<std::string>{"B", "A", "", "", "", "", "", "", "", ""}));
    EXPECT_FALSE(out.top_confident);
}

// A sample whose row is gone counts as a zero vector: no code, not confident.
TEST_F(Matching, HitWithoutItsRowIsNotListed) {
    learn("A", along(0.1f));
    learn("B", along(0.2f));
    exec("delete from feature_code where id = 1");
    EXPECT_EQ(match(along(0.0f)), (std::vector<std::string>{"B", "", "", "", "", "", "", "", "", ""}));
    EXPECT_FALSE(out.top_confident);
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

// The ranking rule alone, fed by hand: no file, no index.
TEST(MatchRanking, RankFilterFlagAndStop) {
    struct Case {
        const char* name;
        float filter_score;
        std::vector<std::pair<std::string, float>> nearest;  // code, similarity; nearest first
        std::vector<std::string> codes;
        bool confident;
        int taken;  // samples the ranking took before it was full (or ran out)
    };
    const std::vector<Case> cases = {
        {"repeats listed once, at their first place", 0.5f,
         {{"A", 0.8f}, {"B", 0.7f}, {"A", 0.9f}, {"C", 0.6f}, {"A", 0.6f}, {"B", 0.6f}, {"D", 0.6f}},
         {"A", "B", "C", "D"}, false, 7},
        {"similarity filters, never reorders", 0.75f,
         {{"A", 0.7f}, {"B", 0.95f}, {"A", 0.8f}, {"C", 0.75f}},
         {"B", "A"}, false, 4},
        {"confident from the nearest alone, even filtered out", 0.99f,
         {{"A", 0.95f}, {"B", 0.999f}},
         {"B"}, true, 2},
        {"exactly 0.9 is not confident", 0.0f, {{"A", 0.9f}}, {"A"}, false, 1},
        {"empty code never listed", 0.0f, {{"", 1.0f}, {"B", 0.6f}}, {"B"}, true, 2},
        {"stops at six codes", 0.0f,
         {{"A", 1}, {"B", 1}, {"C", 1}, {"D", 1}, {"E", 1}, {"F", 1}, {"G", 1}},
         {"A", "B", "C", "D", "E", "F"}, true, 6},
        {"many samples of one code do not end the list", 0.0f,
         {{"A", 1}, {"A", 1}, {"A", 1}, {"A", 1}, {"A", 1}, {"A", 1}, {"B", 1}},
         {"A", "B"}, true, 7},
    };
    for (const Case& c : cases) {
        MatchRanking ranking(c.filter_score);
        for (const auto& [code, similarity] : c.nearest)
            if (ranking.take(code, similarity)) break;
        EXPECT_EQ(ranking.codes(), c.codes) << c.name;
        EXPECT_EQ(ranking.top_confident(), c.confident) << c.name;
        EXPECT_EQ(ranking.taken(), c.taken) << c.name;
    }
}

TEST(MatchRanking, SearchKIsHeldToItsRange) {
    const std::pair<long long, int> cases[] = {{LLONG_MIN, 6}, {-1, 6}, {5, 6}, {6, 6}, {7, 7},
                                               {100, 100}, {101, 100}, {LLONG_MAX, 100}};
    for (const auto& [value, clamped] : cases) EXPECT_EQ(search_k_clamped(value), clamped) << value;
}

// Every sample the filled list looked at once had its two log lines: up to
// 100 per recognition, a day file several times larger. The six nearest keep
// theirs; the rest of the list takes one line.
TEST_F(Matching, LogsTheSixNearestAndOneLineForTheRest) {
    const char* order[] = {"A", "A", "B", "A", "C", "B", "D", "E", "F", "G", "H", "I", "J", "K"};
    for (int i = 0; i < 14; ++i) learn(order[i], along(0.01f * (i + 1)));
    auto count = [](const std::string& text, const std::string& what) {
        int n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    };
    for (int k : {100, 6}) {
        context.search_k = k;
        codes.fill("");
        const size_t before = log_text().size();
        match(along(0.0f));
        const std::string logged = log_text().substr(before);
        SCOPED_TRACE("searchK " + std::to_string(k));
        EXPECT_EQ(count(logged, "res["), k == 6 ? 6 : 7);
        for (int i = 0; i < 6; ++i) EXPECT_EQ(count(logged, "res[" + std::to_string(i) + "]="), 1) << i;
        EXPECT_EQ(count(logged, " is 0."), 6) << "a similarity line for each of the six nearest";
        EXPECT_EQ(count(logged, "res[6..8] of 14 nearest samples: 3 more codes D,E,F,"), k == 6 ? 0 : 1);
    }
}
