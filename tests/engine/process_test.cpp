// One picture through the engine: argument checks, real photos, odd pictures
// and models whose outputs break the contract.
#include "engine_test_support.h"

#include <gmock/gmock.h>
#include <opencv2/imgproc.hpp>

#include <cmath>

namespace {

const char* const kBananaPhoto = "train/Fruit/Banana/Banana_001.jpg";
const char* const kGrannySmithPhoto = "train/Fruit/Apple/Granny-Smith/Granny-Smith_001.jpg";

bool same_output(const _CLSRETRI_OUTPUT_& a, const _CLSRETRI_OUTPUT_& b) {
    for (int i = 0; i < CLSRETRI_TOP_CLASSES; ++i)
        if (a.cls[i].class_index != b.cls[i].class_index || a.cls[i].score != b.cls[i].score) return false;
    for (int i = 0; i < CLSRETRI_FEATURE_SIZE; ++i)
        if (a.feature[i] != b.feature[i]) return false;
    return true;
}

using EngineProcessTest = EngineTest;

TEST_F(EngineProcessTest, ArgumentsAreCheckedInOrderAndNothingIsWritten) {
    const cv::Mat photo = grocery_photo(kBananaPhoto);
    _CLSRETRI_OUTPUT_ output = marked_output();
    EXPECT_EQ(CLSRETRI_Process({photo}, &output, nullptr), CLSRETRI_ERR_NULL_HANDLE);
    EXPECT_EQ(CLSRETRI_Process({cv::Mat()}, nullptr, handle_), CLSRETRI_ERR_INPUT_EMPTY);
    EXPECT_EQ(CLSRETRI_Process({photo}, nullptr, handle_), CLSRETRI_ERR_NULL_OUTPUT);
    EXPECT_TRUE(same_output(output, marked_output()));
}

TEST_F(EngineProcessTest, BananaPhotoIsABananaWithAUnitFeature) {
    _CLSRETRI_OUTPUT_ output = marked_output();
    ASSERT_EQ(CLSRETRI_Process({grocery_photo(kBananaPhoto)}, &output, handle_), 0);
    EXPECT_EQ(output.cls[0].class_index, kBanana);
    double squared = 0;
    for (float value : output.feature) {
        ASSERT_TRUE(std::isfinite(value));
        squared += double(value) * value;
    }
    EXPECT_NEAR(std::sqrt(squared), 1.0, 1e-5);
}

TEST_F(EngineProcessTest, GrannySmithPhotoGivesTenDistinctClassesBestFirst) {
    _CLSRETRI_OUTPUT_ output = marked_output();
    ASSERT_EQ(CLSRETRI_Process({grocery_photo(kGrannySmithPhoto)}, &output, handle_), 0);
    EXPECT_EQ(output.cls[0].class_index, kGrannySmith);
    std::vector<int> classes;
    for (int i = 0; i < CLSRETRI_TOP_CLASSES; ++i) {
        classes.push_back(output.cls[i].class_index);
        EXPECT_THAT(output.cls[i].class_index, ::testing::AllOf(::testing::Ge(0), ::testing::Lt(1000)));
        if (i > 0) {
            EXPECT_GE(output.cls[i - 1].score, output.cls[i].score);
        }
    }
    std::sort(classes.begin(), classes.end());
    EXPECT_EQ(std::unique(classes.begin(), classes.end()), classes.end());
}

TEST_F(EngineProcessTest, EachCallAnswersForItsOwnPicture) {
    const cv::Mat banana = grocery_photo(kBananaPhoto);
    _CLSRETRI_OUTPUT_ first, apple, again;
    ASSERT_EQ(CLSRETRI_Process({banana}, &first, handle_), 0);
    ASSERT_EQ(CLSRETRI_Process({grocery_photo(kGrannySmithPhoto)}, &apple, handle_), 0);
    ASSERT_EQ(CLSRETRI_Process({banana}, &again, handle_), 0);
    EXPECT_EQ(apple.cls[0].class_index, kGrannySmith);
    EXPECT_TRUE(same_output(first, again));
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

    _CLSRETRI_OUTPUT_ expected, actual;
    ASSERT_EQ(CLSRETRI_Process({photo}, &expected, handle_), 0);
    ASSERT_EQ(CLSRETRI_Process({with_alpha}, &actual, handle_), 0);
    EXPECT_TRUE(same_output(expected, actual));
    ASSERT_EQ(CLSRETRI_Process({wide}, &actual, handle_), 0);
    EXPECT_TRUE(same_output(expected, actual));
    ASSERT_EQ(CLSRETRI_Process({grey_as_colour}, &expected, handle_), 0);
    ASSERT_EQ(CLSRETRI_Process({grey}, &actual, handle_), 0);
    EXPECT_TRUE(same_output(expected, actual));
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

// Engines on the tiny models of tests/data/engine.
class TinyModelTest : public TempDirTest {
protected:
    void TearDown() override {
        if (handle_) CLSRETRI_Release(&handle_);
        TempDirTest::TearDown();
    }
    int start(const char* name) { return CLSRETRI_Init(tiny_model(name).c_str(), CLSRETRI_DEVICE_CPU, &handle_); }
    void* handle_ = nullptr;
};

TEST_F(TinyModelTest, InputOtherThan224IsRefusedOnEveryCall) {
    ASSERT_EQ(start("input_256"), 0);
    const cv::Mat photo = grocery_photo(kBananaPhoto);
    for (int call = 0; call < 2; ++call) {
        _CLSRETRI_OUTPUT_ output = marked_output();
        EXPECT_EQ(CLSRETRI_Process({photo}, &output, handle_), CLSRETRI_ERR_INPUT_SHAPE);
        EXPECT_TRUE(same_output(output, marked_output()));
    }
}

TEST_F(TinyModelTest, InputWithOneChannelIsRefused) {
    ASSERT_EQ(start("input_one_channel"), 0);
    _CLSRETRI_OUTPUT_ output = marked_output();
    EXPECT_EQ(CLSRETRI_Process({grocery_photo(kBananaPhoto)}, &output, handle_), CLSRETRI_ERR_INPUT_SHAPE);
}

TEST_F(TinyModelTest, ProbOf1001ClassesIsRefusedWithResultsUntouched) {
    ASSERT_EQ(start("prob_1001"), 0);
    _CLSRETRI_OUTPUT_ output = marked_output();
    EXPECT_EQ(CLSRETRI_Process({grocery_photo(kBananaPhoto)}, &output, handle_), CLSRETRI_ERR_PROB_SHAPE);
    EXPECT_TRUE(same_output(output, marked_output()));
}

TEST_F(TinyModelTest, FeatureOfShape1x160IsRefusedAfterTheClasses) {
    ASSERT_EQ(start("feature_1x160"), 0);
    _CLSRETRI_OUTPUT_ output = marked_output();
    EXPECT_EQ(CLSRETRI_Process({grocery_photo(kBananaPhoto)}, &output, handle_), CLSRETRI_ERR_FEATURE_SHAPE);
    EXPECT_NE(output.cls[0].class_index, marked_output().cls[0].class_index);
    for (float value : output.feature) EXPECT_EQ(value, -7.0f);
}

}  // namespace
