// Picture to input tensor: the OpenCV path the engine uses, and the converter
// path it offers besides.
#include "engine/mnn_runtime.h"
#include "engine_test_support.h"

#include <opencv2/imgproc.hpp>

#include <vector>

namespace {

constexpr int kSide = 224;
constexpr size_t kPlane = kSide * kSide;

std::vector<float> values_of(const MNN::Tensor& tensor) {
    const float* begin = tensor.host<float>();
    return std::vector<float>(begin, begin + tensor.elementSize());
}

TEST(PreprocessOpenCvTest, OnePixelColourBecomesItsHandComputedPlanes) {
    MNN::Tensor tensor({1, 3, kSide, kSide}, halide_type_t(), MNN::Tensor::CAFFE);
    const cv::Mat picture(3, 5, CV_8UC3, cv::Scalar(0, 128, 255));  // blue 0, green 128, red 255
    ASSERT_EQ(CLSRETRI_preprocess_opencv({picture}, &tensor, nullptr), 0);
    const std::vector<float> values = values_of(tensor);
    for (size_t i = 0; i < kPlane; ++i) {
        ASSERT_EQ(values[i], 1.0f);
        ASSERT_EQ(values[kPlane + i], 128.0f / 255.0f);
        ASSERT_EQ(values[2 * kPlane + i], 0.0f);
    }
}

// The engine resizes before it swaps the colours; the values must be exactly
// those of swapping first, then stretching, then normalising.
TEST(PreprocessOpenCvTest, PhotoMatchesTheStepwiseComputationExactly) {
    cv::Mat photo, rgb, resized, normalised;
    cv::resize(grocery_photo("train/Fruit/Banana/Banana_002.jpg"), photo, cv::Size(640, 480));
    cv::cvtColor(photo, rgb, cv::COLOR_BGR2RGB);
    cv::resize(rgb, resized, cv::Size(kSide, kSide), 0, 0, cv::INTER_LINEAR);
    resized.convertTo(normalised, CV_32FC3);
    cv::divide(normalised, cv::Mat(kSide, kSide, CV_32FC3, cv::Scalar(255, 255, 255)), normalised);
    std::vector<cv::Mat> planes;
    cv::split(normalised, planes);
    std::vector<float> expected;
    for (const cv::Mat& plane : planes) expected.insert(expected.end(), plane.begin<float>(), plane.end<float>());

    MNN::Tensor tensor({1, 3, kSide, kSide}, halide_type_t(), MNN::Tensor::CAFFE);
    ASSERT_EQ(CLSRETRI_preprocess_opencv({photo}, &tensor, nullptr), 0);
    EXPECT_EQ(values_of(tensor), expected);
}

using PreprocessConverterTest = EngineTest;

// Rows of blue y, green y + 1, red y + 2, so each tensor row tells which
// picture row it came from.
cv::Mat numbered_rows(int width, int height) {
    cv::Mat picture(height, width, CV_8UC3);
    for (int y = 0; y < height; ++y) picture.row(y).setTo(cv::Scalar(y, y + 1, y + 2));
    return picture;
}

TEST_F(PreprocessConverterTest, TopTensorRowComesFromTheBottomPictureRow) {
    MNN::Tensor* tensor = engine()->input_tensor;
    ASSERT_EQ(CLSRETRI_preprocess_mnncv({numbered_rows(kSide, 100)}, tensor, engine()), 0);
    const float* values = tensor->host<float>();
    const float normal = 1.0f / 255.0f;
    EXPECT_EQ(values[0], 101.0f * normal);               // R of picture row 99
    EXPECT_EQ(values[kPlane + 5], 100.0f * normal);      // G of picture row 99
    EXPECT_EQ(values[2 * kPlane + 7], 99.0f * normal);   // B of picture row 99
    EXPECT_EQ(values[kPlane - 1], 2.0f * normal);        // last tensor row: R of picture row 0
}

TEST_F(PreprocessConverterTest, CropOfALargerFrameIsReadLikeItsCopy) {
    const cv::Mat crop = numbered_rows(640, 200)(cv::Rect(100, 50, 300, 120));
    MNN::Tensor* tensor = engine()->input_tensor;
    ASSERT_EQ(CLSRETRI_preprocess_mnncv({crop.clone()}, tensor, engine()), 0);
    const std::vector<float> from_copy = values_of(*tensor);
    ASSERT_EQ(CLSRETRI_preprocess_mnncv({crop}, tensor, engine()), 0);
    EXPECT_EQ(values_of(*tensor), from_copy);
}

// The converter reads blue-green-red byte triples only; anything else would be
// misread or read past its end.
TEST_F(PreprocessConverterTest, PictureThatIsNotEightBitColourIsRefused) {
    MNN::Tensor* tensor = engine()->input_tensor;
    for (const cv::Mat& picture : {cv::Mat(10, 10, CV_8UC1, cv::Scalar(9)), cv::Mat(10, 10, CV_16UC3),
                                   cv::Mat(10, 10, CV_8UC4), cv::Mat()})
        EXPECT_EQ(CLSRETRI_preprocess_mnncv({picture}, tensor, engine()), CLSRETRI_ERR_INPUT_FORMAT);
    MNN::Tensor other_size({1, 3, 256, 256}, halide_type_t(), MNN::Tensor::CAFFE);
    EXPECT_EQ(CLSRETRI_preprocess_mnncv({numbered_rows(8, 8)}, &other_size, engine()), CLSRETRI_ERR_INPUT_SHAPE);
}

}  // namespace
