// Creating and releasing an engine: models, devices, return codes.
#include "engine/embedded_model.h"
#include "engine/mnn_runtime.h"
#include "engine_test_support.h"
#include "testkit/files.h"

#include <opencv2/core/ocl.hpp>
#include <opencv2/core/utils/logger.hpp>

namespace {

void* const kUntouched = reinterpret_cast<void*>(0x5a5a);

class EngineInitTest : public TempDirTest {
protected:
    void TearDown() override {
        if (handle_ && handle_ != kUntouched) CLSRETRI_Release(&handle_);
        TempDirTest::TearDown();
    }
    void* handle_ = nullptr;
};

// The graphics device falls back to the processor quietly where OpenCL is
// missing (switched off here, as on a board without a usable device); any
// device value but 1 runs on the processor and is reported as given.
TEST_F(EngineInitTest, EngineStartsOnTheDeviceItCanAndSaysWhichModel) {
    struct Case {
        std::string model;  // empty: the embedded model
        int device, running;
        const char* announced;
    };
    const Case cases[] = {
        {"", CLSRETRI_DEVICE_CPU, CLSRETRI_DEVICE_CPU, "use embedded model!\nuse cpu!\n"},
        {"", CLSRETRI_DEVICE_GPU, CLSRETRI_DEVICE_CPU, "use embedded model!\nuse gpu!\n"},
        {"", 2, 2, "use embedded model!\nuse cpu!\n"},
        {tiny_model("tiny_contract"), CLSRETRI_DEVICE_CPU, CLSRETRI_DEVICE_CPU, "use cpu!\n"},
        // Older exporters list the weights among the inputs too.
        {tiny_model("weights_as_inputs"), CLSRETRI_DEVICE_CPU, CLSRETRI_DEVICE_CPU, "use cpu!\n"},
    };
    cv::ocl::setUseOpenCL(false);
    const auto log_level = cv::utils::logging::getLogLevel();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.model + " on device " + std::to_string(c.device));
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int rc = CLSRETRI_Init(c.model.empty() ? nullptr : c.model.c_str(), _CLSRETRI_DEVICE_(c.device), &handle_);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.announced);
        ASSERT_EQ(rc, 0);
        int running = -1;
        EXPECT_EQ(CLSRETRI_GetInfo(handle_, "running_device", &running), 0);
        EXPECT_EQ(running, c.running);
        EXPECT_EQ(CLSRETRI_Release(&handle_), 0);
        EXPECT_EQ(handle_, nullptr);
    }
    EXPECT_EQ(cv::utils::logging::getLogLevel(), log_level);
    // The cache file belongs to the runtime's OpenCL back end; the engine only names it.
    EXPECT_FALSE(file_exists(".tempclsretricache"));
}

TEST_F(EngineInitTest, RefusedModelGivesItsCodeAndLeavesTheHandleUnchanged) {
    write_file("garbage.onnx", "this is not a model");
    write_file("empty.onnx", "");
    write_file("half.onnx", std::string(reinterpret_cast<const char*>(embedded_model_data), embedded_model_size / 2));
    const std::pair<std::string, int> cases[] = {
        {"missing.onnx", CLSRETRI_ERR_MODEL_LOAD},
        {"garbage.onnx", CLSRETRI_ERR_MODEL_LOAD},
        {"empty.onnx", CLSRETRI_ERR_MODEL_LOAD},
        {"half.onnx", CLSRETRI_ERR_MODEL_LOAD},
        {".", CLSRETRI_ERR_MODEL_LOAD},
        {tiny_model("no_input"), CLSRETRI_ERR_NO_INPUT},
        {tiny_model("no_feature"), CLSRETRI_ERR_NO_FEATURE},
        {tiny_model("no_prob"), CLSRETRI_ERR_NO_PROB},
        {tiny_model("input_open_size"), CLSRETRI_ERR_SESSION_CREATE},
        {tiny_model("cannot_run"), CLSRETRI_ERR_SESSION_CREATE},
    };
    for (const auto& [path, code] : cases) {
        handle_ = kUntouched;
        EXPECT_EQ(CLSRETRI_Init(path.c_str(), CLSRETRI_DEVICE_GPU, &handle_), code) << path;
        EXPECT_EQ(handle_, kUntouched) << path;
    }
}

TEST_F(EngineInitTest, MissingHandleOrKeyGivesItsCodeAndWritesNothing) {
    EXPECT_EQ(CLSRETRI_Init(nullptr, CLSRETRI_DEVICE_CPU, nullptr), CLSRETRI_ERR_NULL_HANDLE);
    ASSERT_EQ(CLSRETRI_Init(nullptr, CLSRETRI_DEVICE_CPU, &handle_), 0);
    int value = 42;
    for (const char* key : {"running_device ", "RUNNING_DEVICE", "", static_cast<const char*>(nullptr)})
        EXPECT_EQ(CLSRETRI_GetInfo(handle_, key, &value), CLSRETRI_ERR_UNKNOWN_KEY) << (key ? key : "null");
    EXPECT_EQ(CLSRETRI_GetInfo(handle_, "running_device", nullptr), CLSRETRI_ERR_NULL_OUTPUT);
    EXPECT_EQ(CLSRETRI_GetInfo(nullptr, "running_device", &value), CLSRETRI_ERR_NULL_HANDLE);
    EXPECT_EQ(value, 42);
    EXPECT_EQ(CLSRETRI_Release(&handle_), 0);
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

}  // namespace
