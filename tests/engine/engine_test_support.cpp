#include "engine_test_support.h"

#include <opencv2/imgcodecs.hpp>

#include <cstdlib>

std::string tiny_model(const std::string& name) { return test_data_path("engine/" + name + ".onnx"); }

cv::Mat grocery_photo(const std::string& relative) {
    cv::Mat photo = cv::imread(shared_path("data/grocery/" + relative), cv::IMREAD_COLOR);
    EXPECT_FALSE(photo.empty()) << relative;
    return photo;
}

_CLSRETRI_OUTPUT_ marked_output() {
    _CLSRETRI_OUTPUT_ output;
    for (auto& entry : output.cls) entry = {-7.0f, -7};
    for (float& value : output.feature) value = -7.0f;
    return output;
}

bool same_output(const _CLSRETRI_OUTPUT_& a, const _CLSRETRI_OUTPUT_& b) {
    for (int i = 0; i < CLSRETRI_TOP_CLASSES; ++i)
        if (a.cls[i].class_index != b.cls[i].class_index || a.cls[i].score != b.cls[i].score) return false;
    for (int i = 0; i < CLSRETRI_FEATURE_SIZE; ++i)
        if (a.feature[i] != b.feature[i]) return false;
    return true;
}

void* engine_on(const char* backend, const char* model) {
    if (*backend)
        setenv("QX_ENGINE", backend, 1);
    else
        unsetenv("QX_ENGINE");
    void* handle = nullptr;
    testing::internal::CaptureStdout();
    const int rc = CLSRETRI_Init(model, CLSRETRI_DEVICE_CPU, &handle);
    testing::internal::GetCapturedStdout();
    unsetenv("QX_ENGINE");
    EXPECT_EQ(rc, 0) << backend;
    return handle;
}

std::string precision_of(void* handle) {
    CLSRETRI_PRODUCER producer;
    return CLSRETRI_GetInfo(handle, "feature_producer", &producer) == 0 ? producer.precision : "";
}

void EngineTest::SetUp() {
    TempDirTest::SetUp();
    ASSERT_EQ(CLSRETRI_Init(nullptr, CLSRETRI_DEVICE_CPU, &handle_), 0);
}

void EngineTest::TearDown() {
    if (handle_) CLSRETRI_Release(&handle_);
    TempDirTest::TearDown();
}
