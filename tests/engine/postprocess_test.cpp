// Output tensors to results: ranking of "prob" and read-back of the feature.
#include "engine/mnn_runtime.h"
#include "engine_test_support.h"

#include <cmath>
#include <limits>

namespace {

std::unique_ptr<MNN::Tensor> float_tensor(const std::vector<int>& shape, const std::vector<float>& values) {
    auto tensor = std::make_unique<MNN::Tensor>(shape, halide_type_t(), MNN::Tensor::CAFFE);
    std::copy(values.begin(), values.end(), tensor->host<float>());
    return tensor;
}

// 1000 scores with class i scoring (i * 7919 mod 1000) / 1000: distinct, scattered.
std::vector<float> scattered_scores() {
    std::vector<float> scores(1000);
    for (int i = 0; i < 1000; ++i) scores[i] = static_cast<float>((i * 7919) % 1000) / 1000.0f;
    return scores;
}

TEST(PostprocessTest, TenBestClassesAreWrittenBestFirst) {
    const std::vector<float> scores = scattered_scores();
    const auto prob = float_tensor({1, 1000}, scores);
    _CLSRETRI_OUTPUT_ output = marked_output();
    ASSERT_EQ(CLSRETRI_postprocess_cls(prob.get(), output.cls, nullptr), 0);
    for (int i = 0; i < CLSRETRI_TOP_CLASSES; ++i) {
        EXPECT_EQ(output.cls[i].score, static_cast<float>(999 - i) / 1000.0f);
        EXPECT_EQ(scores[output.cls[i].class_index], output.cls[i].score);
    }
}

// A NaN must not break the ordering the ranking sorts by.
TEST(PostprocessTest, ScoresThatAreNotNumbersRankLast) {
    std::vector<float> scores = scattered_scores();
    for (int i = 0; i < 1000; i += 3) scores[i] = std::numeric_limits<float>::quiet_NaN();
    const auto prob = float_tensor({1, 1000}, scores);
    _CLSRETRI_OUTPUT_ output = marked_output();
    ASSERT_EQ(CLSRETRI_postprocess_cls(prob.get(), output.cls, nullptr), 0);
    for (const auto& entry : output.cls) EXPECT_FALSE(std::isnan(entry.score));
}

// Shapes the models of tests/data/engine cannot make: one dimension, no values.
TEST(PostprocessTest, OutputsWithoutTheirDimensionsAreRefusedUntouched) {
    const auto flat = float_tensor({1000}, std::vector<float>(1000, 0.5f));
    const auto empty = float_tensor({160, 0}, {});
    _CLSRETRI_OUTPUT_ output = marked_output();
    EXPECT_EQ(CLSRETRI_postprocess_cls(flat.get(), output.cls, nullptr), CLSRETRI_ERR_PROB_SHAPE);
    EXPECT_EQ(CLSRETRI_postprocess_feat(empty.get(), output.feature, nullptr), CLSRETRI_ERR_FEATURE_SHAPE);
    EXPECT_TRUE(same_output(output, marked_output()));
}

}  // namespace
