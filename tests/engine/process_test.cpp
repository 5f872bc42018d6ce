// One picture through the engine: argument checks, real photos, odd pictures
// and models whose outputs break the contract.
#include "engine_test_support.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace {

const char* const kBananaPhoto = "train/Fruit/Banana/Banana_001.jpg";
const char* const kGrannySmithPhoto = "train/Fruit/Apple/Granny-Smith/Granny-Smith_001.jpg";

using EngineProcessTest = EngineTest;

TEST_F(EngineProcessTest, ArgumentsAreCheckedInOrderAndNothingIsWritten) {
    const cv::Mat photo = grocery_photo(kBananaPhoto);
    _CLSRETRI_OUTPUT_ output = marked_output();
    EXPECT_EQ(CLSRETRI_Process({photo}, &output, nullptr), CLSRETRI_ERR_NULL_HANDLE);
    EXPECT_EQ(CLSRETRI_Process({cv::Mat()}, nullptr, handle_), CLSRETRI_ERR_INPUT_EMPTY);
    EXPECT_EQ(CLSRETRI_Process({photo}, nullptr, handle_), CLSRETRI_ERR_NULL_OUTPUT);
    EXPECT_TRUE(same_output(output, marked_output()));
}

// A unit feature, each call for its own picture: the banana photo again gives
// exactly the first answer.
TEST_F(EngineProcessTest, RealPhotosAreRecognised) {
    const std::pair<const char*, int> photos[] = {
        {kBananaPhoto, kBanana}, {kGrannySmithPhoto, kGrannySmith}, {kBananaPhoto, kBanana}};
    std::vector<_CLSRETRI_OUTPUT_> outputs;
    for (const auto& [photo, expected_class] : photos) {
        _CLSRETRI_OUTPUT_ output = marked_output();
        ASSERT_EQ(CLSRETRI_Process({grocery_photo(photo)}, &output, handle_), 0);
        EXPECT_EQ(output.cls[0].class_index, expected_class) << photo;
        double squared = 0;
        for (float value : output.feature) squared += double(value) * value;
        EXPECT_NEAR(std::sqrt(squared), 1.0, 1e-5) << photo;
        outputs.push_back(output);
    }
    EXPECT_TRUE(same_output(outputs[0], outputs[2]));
}

// Grey, 4-channel and 16-bit pictures are converted to the 8-bit colour
// picture they stand for, and so give exactly its result.
TEST_F(EngineProcessTest, GreyFourChannelAndSixteenBitPicturesAreConverted) {
    const cv::Mat photo = grocery_photo(kBananaPhoto);
    cv::Mat grey, grey_as_colour, with_alpha, wide;
    cv::cvtColor(photo, grey, cv::COLOR_BGR2GRAY);
    cv::cvtColor(grey, grey_as_colour, cv::COLOR_GRAY2BGR);
    cv::cvtColor(photo, with_alpha, cv::COLOR_BGR2BGRA);
    photo.convertTo(wide, CV_16U, 257.0);
    const std::pair<cv::Mat, cv::Mat> cases[] = {{with_alpha, photo}, {wide, photo}, {grey, grey_as_colour}};
    for (const auto& [picture, stands_for] : cases) {
        _CLSRETRI_OUTPUT_ expected, actual;
        ASSERT_EQ(CLSRETRI_Process({stands_for}, &expected, handle_), 0);
        ASSERT_EQ(CLSRETRI_Process({picture}, &actual, handle_), 0);
        EXPECT_TRUE(same_output(expected, actual)) << "type " << picture.type();
    }
}

TEST_F(EngineProcessTest, PicturesOfNoKnownFormatAreRefused) {
    const cv::Mat refused[] = {cv::Mat(64, 64, CV_32FC3, cv::Scalar(0.5, 0.5, 0.5)),
                               cv::Mat(64, 64, CV_8UC2, cv::Scalar(1, 2)),
                               cv::Mat(64, 64, CV_64FC1, cv::Scalar(3)),
                               cv::Mat(std::vector<int>{4, 4, 4}, CV_8UC1, cv::Scalar(0))};
    for (const cv::Mat& picture : refused) {
        _CLSRETRI_OUTPUT_ output = marked_output();
        EXPECT_EQ(CLSRETRI_Process({picture}, &output, handle_), CLSRETRI_ERR_INPUT_FORMAT);
        EXPECT_TRUE(same_output(output, marked_output()));
    }
}

// Engines on the tiny models of tests/data/engine whose tensors break the
// contract: refused on every call, results untouched except the classes that
// come before a bad feature.
using TinyModelTest = TempDirTest;

TEST_F(TinyModelTest, BrokenContractIsRefusedOnEveryCall) {
    struct Case {
        const char* model;
        int code;
        bool classes_written;
    };
    const Case cases[] = {
        {"input_256", CLSRETRI_ERR_INPUT_SHAPE, false},
        {"input_one_channel", CLSRETRI_ERR_INPUT_SHAPE, false},
        {"prob_1001", CLSRETRI_ERR_PROB_SHAPE, false},
        {"feature_1x160", CLSRETRI_ERR_FEATURE_SHAPE, true},
    };
    const cv::Mat photo = grocery_photo(kBananaPhoto);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.model);
        void* handle = nullptr;
        ASSERT_EQ(CLSRETRI_Init(tiny_model(c.model).c_str(), CLSRETRI_DEVICE_CPU, &handle), 0);
        for (int call = 0; call < 2; ++call) {
            _CLSRETRI_OUTPUT_ output = marked_output();
            EXPECT_EQ(CLSRETRI_Process({photo}, &output, handle), c.code);
            EXPECT_EQ(output.cls[0].class_index != -7, c.classes_written);
            EXPECT_TRUE(std::all_of(std::begin(output.feature), std::end(output.feature),
                                    [](float value) { return value == -7.0f; }));
        }
        CLSRETRI_Release(&handle);
    }
}

}  // namespace
