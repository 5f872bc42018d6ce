// Creating and releasing an engine: models, devices, return codes.
#include "engine/mnn_runtime.h"
#include "engine_test_support.h"
#include "testkit/files.h"

#include <gmock/gmock.h>
#include <opencv2/core/ocl.hpp>
#include <opencv2/core/utils/logger.hpp>

using ::testing::HasSubstr;

namespace {

void* const kUntouched = reinterpret_cast<void*>(0x5a5a);

class EngineInitTest : public TempDirTest {
protected:
    void TearDown() override {
        if (handle_ && handle_ != kUntouched) CLSRETRI_Release(&handle_);
        TempDirTest::TearDown();
    }
    int running_device() {
        int device = -1;
        EXPECT_EQ(CLSRETRI_GetInfo(handle_, "running_device", &device), 0);
        return device;
    }
    void* handle_ = nullptr;
};

TEST_F(EngineInitTest, EmbeddedModelIsAnnouncedAndLoaded) {
    testing::internal::CaptureStdout();
    ASSERT_EQ(CLSRETRI_Init(nullptr, CLSRETRI_DEVICE_CPU, &handle_), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "use embedded model!\nuse cpu!\n");
    ASSERT_NE(handle_, nullptr);
    EXPECT_EQ(running_device(), CLSRETRI_DEVICE_CPU);
}

TEST_F(EngineInitTest, ModelFileIsLoadedWithoutTheEmbeddedMessage) {
    testing::internal::CaptureStdout();
    ASSERT_EQ(CLSRETRI_Init(tiny_model("tiny_contract").c_str(), CLSRETRI_DEVICE_CPU, &handle_), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "use cpu!\n");
}

TEST_F(EngineInitTest, UnreadableModelPathsLeaveTheHandleUnchanged) {
    write_file("garbage.onnx", "this is not a model");
    write_file("empty.onnx", "");
    for (const std::string path : {"missing.onnx", "garbage.onnx", "empty.onnx", "."}) {
        handle_ = kUntouched;
        EXPECT_EQ(CLSRETRI_Init(path.c_str(), CLSRETRI_DEVICE_CPU, &handle_), CLSRETRI_ERR_MODEL_LOAD) << path;
        EXPECT_EQ(handle_, kUntouched) << path;
    }
    handle_ = nullptr;
}

TEST_F(EngineInitTest, GraphicsDeviceWithoutOpenClFallsBackToProcessorQuietly) {
    cv::ocl::setUseOpenCL(false);  // as on a board without a usable OpenCL device
    const auto log_level = cv::utils::logging::getLogLevel();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    ASSERT_EQ(CLSRETRI_Init(nullptr, CLSRETRI_DEVICE_GPU, &handle_), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "use embedded model!\nuse gpu!\n");
    EXPECT_EQ(running_device(), CLSRETRI_DEVICE_CPU);
    EXPECT_EQ(cv::utils::logging::getLogLevel(), log_level);
    // The cache file belongs to the runtime's OpenCL back end; the engine only names it.
    EXPECT_FALSE(file_exists(".tempclsretricache"));
}

TEST_F(EngineInitTest, DeviceTwoRunsOnProcessorAndIsReportedAsTwo) {
    testing::internal::CaptureStdout();
    ASSERT_EQ(CLSRETRI_Init(nullptr, static_cast<_CLSRETRI_DEVICE_>(2), &handle_), 0);
    EXPECT_THAT(testing::internal::GetCapturedStdout(), HasSubstr("use cpu!"));
    EXPECT_EQ(running_device(), 2);
}

TEST_F(EngineInitTest, ProcessWideOpenCvThreadCountIsLeftAlone) {
    cv::setNumThreads(1);
    ASSERT_EQ(CLSRETRI_Init(nullptr, CLSRETRI_DEVICE_CPU, &handle_), 0);
    _CLSRETRI_OUTPUT_ output;
    ASSERT_EQ(CLSRETRI_Process({grocery_photo("train/Fruit/Banana/Banana_001.jpg")}, &output, handle_), 0);
    EXPECT_EQ(cv::getNumThreads(), 1);
}

TEST_F(EngineInitTest, ReleaseEmptiesTheHandleVariableAndRefusesASecondTime) {
    ASSERT_EQ(CLSRETRI_Init(nullptr, CLSRETRI_DEVICE_CPU, &handle_), 0);
    EXPECT_EQ(CLSRETRI_Release(&handle_), 0);
    EXPECT_EQ(handle_, nullptr);
    EXPECT_EQ(CLSRETRI_Release(&handle_), CLSRETRI_ERR_NULL_HANDLE);
    EXPECT_EQ(CLSRETRI_Release(nullptr), CLSRETRI_ERR_NULL_HANDLE);
}

// A session the interpreter no longer knows stands for a runtime that refuses
// to release it.
using ForeignSessionTest = EngineTest;

TEST_F(ForeignSessionTest, RefusedSessionReleaseKeepsTheHandle) {
    ASSERT_TRUE(engine()->interpreter->releaseSession(engine()->session));
    void* const before = handle_;
    EXPECT_EQ(CLSRETRI_Release(&handle_), CLSRETRI_ERR_SESSION_RELEASE);
    EXPECT_EQ(handle_, before);
    engine()->session = nullptr;  // so that the fixture can release the rest
}

TEST_F(EngineInitTest, InfoKeyMustMatchExactly) {
    ASSERT_EQ(CLSRETRI_Init(nullptr, CLSRETRI_DEVICE_CPU, &handle_), 0);
    for (const char* key : {"running_device ", "RUNNING_DEVICE", "", "device"}) {
        int value = 42;
        EXPECT_EQ(CLSRETRI_GetInfo(handle_, key, &value), CLSRETRI_ERR_UNKNOWN_KEY) << key;
        EXPECT_EQ(value, 42);
    }
    EXPECT_EQ(CLSRETRI_GetInfo(handle_, nullptr, nullptr), CLSRETRI_ERR_UNKNOWN_KEY);
    EXPECT_EQ(CLSRETRI_GetInfo(handle_, "running_device", nullptr), CLSRETRI_ERR_NULL_OUTPUT);
    int value = 42;
    EXPECT_EQ(CLSRETRI_GetInfo(nullptr, "running_device", &value), CLSRETRI_ERR_NULL_HANDLE);
    EXPECT_EQ(value, 42);
}

struct RefusedModel {
    const char* name;
    int code;
};

void PrintTo(const RefusedModel& model, std::ostream* out) { *out << model.name; }

class RefusedModelTest : public EngineInitTest, public ::testing::WithParamInterface<RefusedModel> {};

TEST_P(RefusedModelTest, InitReturnsTheCodeAndLeavesTheHandleUnchanged) {
    handle_ = kUntouched;
    EXPECT_EQ(CLSRETRI_Init(tiny_model(GetParam().name).c_str(), CLSRETRI_DEVICE_GPU, &handle_), GetParam().code);
    EXPECT_EQ(handle_, kUntouched);
    handle_ = nullptr;
}

INSTANTIATE_TEST_SUITE_P(Models, RefusedModelTest,
                         ::testing::Values(RefusedModel{"no_input", CLSRETRI_ERR_NO_INPUT},
                                           RefusedModel{"no_feature", CLSRETRI_ERR_NO_FEATURE},
                                           RefusedModel{"no_prob", CLSRETRI_ERR_NO_PROB},
                                           RefusedModel{"input_open_size", CLSRETRI_ERR_SESSION_CREATE},
                                           RefusedModel{"cannot_run", CLSRETRI_ERR_SESSION_CREATE}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
