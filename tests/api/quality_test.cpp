// The whole recognition (model, preprocessing, feature text, index, matching)
// on real photos against stored reference lists: three fixed training photos
// per kind are learned, then every val photo is recognised.
//
// Once on each plan of the engine, each with its own reference: float32
// (val_reference.txt) and int8 (val_reference_int8.txt).
//
// To regenerate the references after an intended change of results:
//   QX_QUALITY_REFERENCE_OUT=$PWD/tests/data/quality ctest --test-dir build -R Quality.
// and say in the commit why the lists changed.
#include "flows_fixture.h"

#include "qx_ai.h"

#include "api/context.h"
#include "store/database.h"
#include "support/tools.h"
#include "testkit/child.h"
#include "testkit/files.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace fs = std::filesystem;

namespace {

// Two codes whose nearest samples lie closer together than this may swap
// places: rounding in another build or back end decides between them.
constexpr double kTie = 1e-5;

struct Listed {
    std::string code;
    double distance = 0;  // squared distance of the code's nearest sample
};

struct Sample {
    std::string code;
    std::vector<float> values;
};

std::vector<float> feature_values(const std::string& text) {
    std::vector<float> values(DB_FEATURE_VALUES, 0.0f);
    tool_feature_read(text.c_str(), values.data(), DB_FEATURE_VALUES);
    return values;
}

std::vector<Sample> learned_samples() {
    std::vector<Sample> samples;
    sqlite3* db = nullptr;
    sqlite3_open_v2("featurexYz.db", &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* query = nullptr;
    sqlite3_prepare_v2(db, "select code, feature from feature_code", -1, &query, nullptr);
    while (sqlite3_step(query) == SQLITE_ROW)
        samples.push_back({reinterpret_cast<const char*>(sqlite3_column_text(query, 0)),
                           feature_values(reinterpret_cast<const char*>(sqlite3_column_text(query, 1)))});
    sqlite3_finalize(query);
    sqlite3_close(db);
    return samples;
}

double nearest_distance(const std::vector<Sample>& samples, const std::vector<float>& query, const std::string& code) {
    double best = INFINITY;
    for (const Sample& sample : samples) {
        if (sample.code != code) continue;
        double sum = 0;
        for (int i = 0; i < DB_FEATURE_VALUES; ++i) sum += std::pow(double(query[i]) - sample.values[i], 2);
        best = std::min(best, sum);
    }
    return best;
}

// "photo code:distance code:distance ..." per line.
std::map<std::string, std::vector<Listed>> read_reference(const std::string& path) {
    std::map<std::string, std::vector<Listed>> reference;
    for (const std::string& line : read_lines(path)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string photo, item;
        fields >> photo;
        auto& list = reference[photo];
        while (fields >> item) {
            size_t colon = item.find(':');
            list.push_back({item.substr(0, colon), std::strtod(item.c_str() + colon + 1, nullptr)});
        }
    }
    return reference;
}

// Equal, but for neighbours the reference holds in a near tie, which may swap.
// *drift gets the largest distance difference of a code listed by both.
bool same_ranking(const std::vector<Listed>& got, const std::vector<Listed>& reference, int* swaps, double* drift) {
    if (got.size() != reference.size()) return false;
    for (const Listed& listed : got)
        for (const Listed& expected : reference)
            if (listed.code == expected.code) *drift = std::max(*drift, std::fabs(listed.distance - expected.distance));
    for (size_t i = 0; i < got.size(); ++i) {
        if (got[i].code == reference[i].code) continue;
        if (i + 1 < got.size() && got[i].code == reference[i + 1].code && got[i + 1].code == reference[i].code &&
            std::fabs(reference[i].distance - reference[i + 1].distance) < kTie) {
            ++*swaps;
            ++i;
            continue;
        }
        return false;
    }
    return true;
}

std::string list_text(const std::vector<Listed>& list) {
    std::string text;
    char item[64];
    for (const Listed& listed : list) {
        std::snprintf(item, sizeof item, " %s:%.7g", listed.code.c_str(), listed.distance);
        text += item;
    }
    return text;
}

}  // namespace

class Quality : public FlowTest {
protected:
    // The engine's plan, its reference lists and what they pin.
    struct Plan {
        const char* engine;     // QX_ENGINE
        const char* reference;  // under tests/data/quality/
        int top1, top5;
        double drift;           // largest distance change allowed
    };
    void check_val_photos(const Plan& plan);

    // Learns the fixed training photos; kind (its folder's name) -> code.
    std::map<std::string, std::string> learn_fixed_photos() {
        std::map<std::string, std::string> code_of_kind;
        std::map<std::string, int> taken;
        for (const std::string& line : read_lines(test_data_path("quality/train_photos.txt"))) {
            if (line.empty() || line[0] == '#') continue;
            std::istringstream fields(line);
            std::string code, photo;
            fields >> code >> photo;
            code_of_kind[fs::path(photo).parent_path().filename().string()] = code;
            fs::create_directories("pic_data/" + code);
            fs::copy_file(shared_path("data/grocery/" + photo),
                          "pic_data/" + code + "/" + std::to_string(taken[code]++) + ".jpg");
        }
        EXPECT_EQ(LearnFromPicData(), QX_OK);
        return code_of_kind;
    }

    // The list of the six nearest samples alone (searchK 6) for a recorded feature.
    std::vector<std::string> nearest_six_list(const std::vector<float>& feature) {
        DB_COMPARE_IN in;
        std::copy(feature.begin(), feature.end(), in.feature);
        std::string codes[DB_RESULT_SLOTS];
        DB_COMPARE_OUT out;
        out.codes = codes;
        const int search_k = params->search_k;
        params->search_k = SEARCH_K_MIN;
        db_compare_feature_faiss(params, &in, &out);
        params->search_k = search_k;
        std::vector<std::string> list;
        for (const std::string& code : codes)
            if (!code.empty()) list.push_back(code);
        return list;
    }
};

// Every val photo's ranked list is the reference's (near ties may swap); the
// list of the six nearest samples is always where it starts; top-1 and top-5
// are pinned.
void Quality::check_val_photos(const Plan& plan) {
    // Under emulation a forward of the model takes seconds, and this test makes
    // 346 of them: far beyond a test's time-out. The Arm engine's agreement on
    // real photos is checked by the back-end agreement tests, its index and
    // matching by the store tests; this one runs there only when asked for.
    if (tests_run_emulated() && !std::getenv("QX_EMULATED_QUALITY"))
        GTEST_SKIP() << "346 forwards take about half an hour under emulation; run with QX_EMULATED_QUALITY=1 "
                        "and ctest --timeout 3600 to include them";
    ASSERT_EQ(Close(), 0);
    setenv("QX_ENGINE", plan.engine, 1);
    const int started = Init();
    unsetenv("QX_ENGINE");
    ASSERT_EQ(started, 0);
    const std::map<std::string, std::string> code_of_kind = learn_fixed_photos();
    ASSERT_EQ(code_of_kind.size(), 50u);
    const std::vector<Sample> samples = learned_samples();
    ASSERT_EQ(samples.size(), 150u);

    std::vector<std::string> photos;
    for (const auto& entry : fs::recursive_directory_iterator(shared_path("data/grocery/val")))
        if (entry.path().extension() == ".jpg")
            photos.push_back(fs::relative(entry.path(), shared_path("data/grocery")).string());
    std::sort(photos.begin(), photos.end());
    ASSERT_EQ(photos.size(), 196u);

    std::map<std::string, std::vector<Listed>> got;
    int top1 = 0, top5 = 0, longer = 0;
    for (const std::string& photo : photos) {
        std::string session;
        std::vector<std::string> codes = recognise(shared_path("data/grocery/" + photo), &session);
        settle_records();
        const std::vector<float> feature =
            feature_values(text("select feature_value from product_record where session_id = '" + session + "'"));
        std::vector<Listed>& list = got[photo];
        for (const std::string& code : codes) list.push_back({code, nearest_distance(samples, feature, code)});

        const std::vector<std::string> nearest = nearest_six_list(feature);
        ASSERT_LE(nearest.size(), codes.size()) << photo;
        EXPECT_TRUE(std::equal(nearest.begin(), nearest.end(), codes.begin())) << photo;
        longer += codes.size() > nearest.size();

        const std::string truth = code_of_kind.at(fs::path(photo).parent_path().filename().string());
        auto found = std::find(codes.begin(), codes.end(), truth);
        top1 += found == codes.begin();
        top5 += found != codes.end() && found - codes.begin() < 5;
    }
    RecordProperty("top1", top1);
    RecordProperty("top5", top5);
    RecordProperty("longer_than_six_nearest", longer);

    if (const char* folder = std::getenv("QX_QUALITY_REFERENCE_OUT")) {
        const std::string out = std::string(folder) + "/" + plan.reference;
        std::ofstream file(out);
        file << "# TestDetect's list for each val photo after learning tests/data/quality/train_photos.txt:\n"
                "# photo, then each code with its nearest sample's squared distance (regenerate: see quality_test.cpp)\n";
        for (const auto& [photo, list] : got) file << photo << list_text(list) << "\n";
        GTEST_SKIP() << "reference written to " << out << ": top-1 " << top1 << ", top-5 " << top5;
    }

    const auto reference = read_reference(test_data_path(std::string("quality/") + plan.reference));
    ASSERT_EQ(reference.size(), photos.size());
    int swaps = 0;
    double drift = 0;
    for (const auto& [photo, list] : got) {
        auto expected = reference.find(photo);
        ASSERT_NE(expected, reference.end()) << photo;
        EXPECT_TRUE(same_ranking(list, expected->second, &swaps, &drift))
            << photo << "\n  got:      " << list_text(list) << "\n  expected: " << list_text(expected->second);
    }
    // The features themselves: another thread count or back end moves a
    // distance by rounding only (about 1e-6); a changed preprocessing by far more.
    char drift_text[32];
    std::snprintf(drift_text, sizeof drift_text, "%.3g", drift);
    RecordProperty("distance_drift", drift_text);
    EXPECT_LT(drift, plan.drift);
    // Pinned from the reference; a near tie that swapped may move one of them.
    EXPECT_NEAR(top1, plan.top1, swaps);
    EXPECT_NEAR(top5, plan.top5, swaps);
    EXPECT_GT(longer, 0);
}

TEST_F(Quality, ValPhotosGiveTheReferenceLists) {
    check_val_photos({"fp32", "val_reference.txt", 130, 182, 1e-4});  // 66.3 %, 92.9 %
}

// The int8 plan's own lists. Its integer arithmetic is exact, but each layer
// rounds to int8, so a processor whose kernels round one value the other way
// moves later distances by more than float32's rounding would.
TEST_F(Quality, Int8ValPhotosGiveTheReferenceLists) {
    check_val_photos({"int8", "val_reference_int8.txt", 128, 182, 1e-3});  // 65.3 %, 92.9 %
}
