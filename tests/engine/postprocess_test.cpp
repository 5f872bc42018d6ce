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

TEST(PostprocessClassesTest, TenBestAreWrittenBestFirst) {
    const std::vector<float> scores = scattered_scores();
    const auto prob = float_tensor({1, 1000}, scores);
    _CLSRETRI_OUTPUT_ output = marked_output();
    ASSERT_EQ(CLSRETRI_postprocess_cls(prob.get(), output.cls, nullptr), 0);
    for (int i = 0; i < CLSRETRI_TOP_CLASSES; ++i) {
        EXPECT_EQ(output.cls[i].score, static_cast<float>(999 - i) / 1000.0f);
        EXPECT_EQ(scores[output.cls[i].class_index], output.cls[i].score);
    }
}

TEST(PostprocessClassesTest, ProbOf1001IsRefusedWithResultsUntouched) {
    const auto prob = float_tensor({1, 1001}, std::vector<float>(1001, 0.5f));
    _CLSRETRI_OUTPUT_ output = marked_output();
    EXPECT_EQ(CLSRETRI_postprocess_cls(prob.get(), output.cls, nullptr), CLSRETRI_ERR_PROB_SHAPE);
    for (const auto& entry : output.cls) EXPECT_EQ(entry.class_index, -7);
    const auto flat = float_tensor({1000}, std::vector<float>(1000, 0.5f));
    EXPECT_EQ(CLSRETRI_postprocess_cls(flat.get(), output.cls, nullptr), CLSRETRI_ERR_PROB_SHAPE);
}

TEST(PostprocessClassesTest, TieAtTheTenthPlaceGivesEitherTiedClass) {
    std::vector<float> scores(1000, 0.0f);
    for (int i = 0; i < 9; ++i) scores[100 + i] = 0.9f - i * 0.01f;
    scores[500] = scores[600] = 0.5f;
    const auto prob = float_tensor({1, 1000}, scores);
    _CLSRETRI_OUTPUT_ output = marked_output();
    ASSERT_EQ(CLSRETRI_postprocess_cls(prob.get(), output.cls, nullptr), 0);
    EXPECT_EQ(output.cls[8].class_index, 108);
    EXPECT_TRUE(output.cls[9].class_index == 500 || output.cls[9].class_index == 600);
    EXPECT_EQ(output.cls[9].score, 0.5f);
}

TEST(PostprocessClassesTest, ScoresThatAreNotNumbersRankLast) {
    std::vector<float> scores = scattered_scores();
    for (int i = 0; i < 1000; i += 3) scores[i] = std::numeric_limits<float>::quiet_NaN();
    const auto prob = float_tensor({1, 1000}, scores);
    _CLSRETRI_OUTPUT_ output = marked_output();
    ASSERT_EQ(CLSRETRI_postprocess_cls(prob.get(), output.cls, nullptr), 0);
    for (const auto& entry : output.cls) EXPECT_FALSE(std::isnan(entry.score));
}

TEST(PostprocessClassesTest, NonFloatProbGivesTenZeroEntries) {
    MNN::Tensor prob({1, 1000}, halide_type_t(halide_type_int, 32), MNN::Tensor::CAFFE);
    std::fill_n(prob.host<int32_t>(), 1000, 77);
    _CLSRETRI_OUTPUT_ output = marked_output();
    ASSERT_EQ(CLSRETRI_postprocess_cls(&prob, output.cls, nullptr), 0);
    for (const auto& entry : output.cls) {
        EXPECT_EQ(entry.class_index, 0);
        EXPECT_EQ(entry.score, 0.0f);
    }
}

std::vector<float> counting(int n) {
    std::vector<float> values(n);
    for (int i = 0; i < n; ++i) values[i] = static_cast<float>(i) * 0.25f;
    return values;
}

TEST(PostprocessFeatureTest, FirstHundredSixtyValuesAreCopiedUnchanged) {
    for (const std::vector<int>& shape : {std::vector<int>{160, 1}, std::vector<int>{160, 3}}) {
        const auto feature = float_tensor(shape, counting(160 * shape[1]));
        _CLSRETRI_OUTPUT_ output = marked_output();
        ASSERT_EQ(CLSRETRI_postprocess_feat(feature.get(), output.feature, nullptr), 0);
        for (int i = 0; i < CLSRETRI_FEATURE_SIZE; ++i) ASSERT_EQ(output.feature[i], i * 0.25f);
    }
}

TEST(PostprocessFeatureTest, FeatureOfShape1x160IsRefusedWithValuesUntouched) {
    const auto feature = float_tensor({1, 160}, counting(160));
    _CLSRETRI_OUTPUT_ output = marked_output();
    EXPECT_EQ(CLSRETRI_postprocess_feat(feature.get(), output.feature, nullptr), CLSRETRI_ERR_FEATURE_SHAPE);
    for (float value : output.feature) EXPECT_EQ(value, -7.0f);
    const auto empty = float_tensor({160, 0}, {});
    EXPECT_EQ(CLSRETRI_postprocess_feat(empty.get(), output.feature, nullptr), CLSRETRI_ERR_FEATURE_SHAPE);
}

TEST(PostprocessFeatureTest, NonFloatFeatureLeavesValuesUnchanged) {
    MNN::Tensor feature({160, 1}, halide_type_t(halide_type_uint, 8), MNN::Tensor::CAFFE);
    _CLSRETRI_OUTPUT_ output = marked_output();
    EXPECT_EQ(CLSRETRI_postprocess_feat(&feature, output.feature, nullptr), 0);
    for (float value : output.feature) EXPECT_EQ(value, -7.0f);
}

}  // namespace
