#pragma once
// A feature database in the test's own folder, and the helpers the store tests
// share: features, their texts, direct SQL on the file, the day's log.
#include "api/context.h"
#include "engine/libclsretri.h"
#include "store/CppSQLite3.h"
#include "store/database.h"
#include "store/libhnsw.h"
#include "support/log.h"
#include "support/tools.h"
#include "testkit/files.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>

#include <random>
#include <string>
#include <vector>

// A 720-value buffer whose first values are `head` and the rest zero.
inline std::vector<float> feature_of(std::vector<float> head) {
    head.resize(DB_FEATURE_VALUES, 0.0f);
    return head;
}

// 160 values as the engine makes them, the remaining 560 zero.
inline std::vector<float> random_feature(unsigned seed) {
    std::mt19937 generator(seed);
    std::normal_distribution<float> value(0.0f, 1.0f);
    std::vector<float> feature(DB_FEATURE_VALUES, 0.0f);
    for (int i = 0; i < 160; ++i) feature[i] = value(generator);
    return feature;
}

// Features of real photos through the model built into the library.
inline std::vector<std::vector<float>> photo_features(int count) {
    std::vector<std::vector<float>> features;
    void* engine = nullptr;
    if (CLSRETRI_Init(nullptr, CLSRETRI_DEVICE_CPU, &engine) != 0) return features;
    const std::vector<std::string> lines = read_lines(shared_path("data/grocery/val.txt"));
    const size_t step = std::max<size_t>(1, lines.size() / static_cast<size_t>(count));
    for (size_t i = 0; i < lines.size() && static_cast<int>(features.size()) < count; i += step) {
        _CLSRETRI_INPUT_ input;
        input.image = cv::imread(shared_path("data/grocery/" + lines[i].substr(0, lines[i].find(','))));
        _CLSRETRI_OUTPUT_ output;
        if (input.image.empty() || CLSRETRI_Process(input, &output, engine) != 0) continue;
        features.emplace_back(output.feature, output.feature + DB_INDEX_VALUES);
    }
    CLSRETRI_Release(&engine);
    return features;
}

inline std::vector<float> widened(std::vector<float> feature) {
    feature.resize(DB_FEATURE_VALUES, 0.0f);
    return feature;
}

// `base` moved by normal noise of the given size: another picture of the same kind.
inline std::vector<float> near(const std::vector<float>& base, float noise, std::mt19937& random) {
    std::normal_distribution<float> step(0.0f, noise);
    std::vector<float> moved = widened(base);
    for (int i = 0; i < DB_INDEX_VALUES; ++i) moved[static_cast<size_t>(i)] += step(random);
    return moved;
}

inline std::string text_of(const std::vector<float>& feature, int count = 160) {
    return tool_feature_text(feature.data(), count);
}

class StoreTest : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        context.filter_score = 0.0f;
    }

    void TearDown() override {
        db_close(&context);
        TempDirTest::TearDown();
    }

    int exec(const std::string& sql) {
        CppSQLite3DB db;
        db.open("featurexYz.db");
        return db.execDML(sql.c_str());
    }

    std::string text(const std::string& sql) {
        CppSQLite3DB db;
        db.open("featurexYz.db");
        CppSQLite3Query query = db.execQuery(sql.c_str());
        return query.eof() ? "<no row>" : query.getStringField(0, "<null>");
    }

    // Learns `feature` under `code` the way feedback does; the row id it got.
    int learn(const std::string& code, const std::vector<float>& feature, DB_HADNLE* store = nullptr) {
        std::string feature_text = text_of(feature);
        DB_COMMODITY sample;
        sample.code = code;
        sample.feature = feature_text.c_str();
        db_save_db_index(store ? store : &context, &sample);
        return sample.id;
    }

    // Rows 1..n of feature_code in one statement, so a full table stays fast.
    void fill_feature_code(int rows) {
        exec("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " + std::to_string(rows) +
             ") INSERT INTO feature_code(code, feature, update_time, deleted) "
             "SELECT 'filler' || i, '0.100000,', CURRENT_TIMESTAMP, 0 FROM n;");
    }

    // Where a search for `feature` lands: the label of the nearest sample.
    int nearest_label(const std::vector<float>& feature) {
        auto hits = context.index->Search(feature.data(), 1);
        return hits.empty() ? -1 : hits[0].second;
    }

    std::string log_text() {
        logger->flush();
        std::string all;
        for (const auto& name : list_dir("tmp")) all += read_file("tmp/" + name);
        return all;
    }

    DB_HADNLE context;
};
