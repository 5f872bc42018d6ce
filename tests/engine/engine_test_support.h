#pragma once
// Shared bits of the engine tests: the committed tiny models, the grocery
// photos and an engine made from the model built into the library.
#include "engine/libclsretri.h"
#include "testkit/temp_dir.h"

#include <string>

// tests/data/engine/<name>.onnx (made by make_models.py there).
std::string tiny_model(const std::string& name);
// A colour photo from the workplace's grocery set, e.g. "train/Fruit/Banana/Banana_001.jpg".
cv::Mat grocery_photo(const std::string& relative);
// Every score and class of an output, and every feature value, set to a marker.
_CLSRETRI_OUTPUT_ marked_output();
bool same_output(const _CLSRETRI_OUTPUT_& a, const _CLSRETRI_OUTPUT_& b);

// The engine on the processor, on the back end QX_ENGINE names ("fp32",
// "int8", "opencv"; "" for the build's default), with `model` (null: the
// built-in one); null after a failed Init, which the test is told of.
void* engine_on(const char* backend, const char* model = nullptr);

// The precision the handle's features come from ("fp32", "int8"; "" on failure).
std::string precision_of(void* handle);

constexpr int kBanana = 954;
constexpr int kGrannySmith = 948;

// Each test in a fresh working directory with an engine on the processor.
class EngineTest : public TempDirTest {
protected:
    void SetUp() override;
    void TearDown() override;
    CLSRETRI_HANDLE* engine() const { return static_cast<CLSRETRI_HANDLE*>(handle_); }
    void* handle_ = nullptr;
};
