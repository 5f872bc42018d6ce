#pragma once
// The recognition engine: one picture in, the ten best class scores and the
// 160-value feature out. Every function returns 0 or a CLSRETRI_ERR_ code and
// throws nothing of its own; the engine writes nothing to the log.
#include "engine/feature_producer.h"

#include <opencv2/core/mat.hpp>

#include <memory>

namespace MNN {
class Interpreter;
class Session;
class Tensor;
namespace CV {
class ImageProcess;
}
}  // namespace MNN

constexpr int CLSRETRI_ERR_INPUT_EMPTY = 0x10030002;
constexpr int CLSRETRI_ERR_NULL_HANDLE = 0x10030003;
constexpr int CLSRETRI_ERR_NULL_OUTPUT = 0x10030004;
constexpr int CLSRETRI_ERR_MODEL_LOAD = 0x10030007;
constexpr int CLSRETRI_ERR_NO_INPUT = 0x10030008;
constexpr int CLSRETRI_ERR_NO_PROB = 0x10030009;
constexpr int CLSRETRI_ERR_NO_FEATURE = 0x1003000a;
constexpr int CLSRETRI_ERR_SESSION_CREATE = 0x1003000b;
constexpr int CLSRETRI_ERR_SESSION_RELEASE = 0x1003000c;
constexpr int CLSRETRI_ERR_INPUT_SHAPE = 0x1003000d;
// The picture is neither 8- nor 16-bit with 1, 3 or 4 channels, or (converter
// path only) not 8-bit with 3 channels.
constexpr int CLSRETRI_ERR_INPUT_FORMAT = 0x1003000e;
// The model did not run on this picture; the outputs are not this picture's.
constexpr int CLSRETRI_ERR_RUN_SESSION = 0x1003000f;
constexpr int CLSRETRI_ERR_PROB_SHAPE = 0x10030010;
constexpr int CLSRETRI_ERR_FEATURE_SHAPE = 0x10030011;
constexpr int CLSRETRI_ERR_UNKNOWN_KEY = 0x10030012;

constexpr int CLSRETRI_TOP_CLASSES = 10;
constexpr int CLSRETRI_FEATURE_SIZE = 160;

enum _CLSRETRI_DEVICE_ : int {
    CLSRETRI_DEVICE_CPU = 0,
    CLSRETRI_DEVICE_GPU = 1,  // OpenCL; any value other than 1 runs on the processor
};

struct CLSRETRI_HANDLE {
    std::shared_ptr<MNN::Interpreter> interpreter;
    MNN::Session* session = nullptr;
    MNN::Tensor* input_tensor = nullptr;
    MNN::Tensor* feat_tensor = nullptr;  // output "512feature"
    MNN::Tensor* prob_tensor = nullptr;  // output "prob"
    MNN::CV::ImageProcess* pretreat = nullptr;
    _CLSRETRI_DEVICE_ device = CLSRETRI_DEVICE_CPU;  // 0 after a fall-back to the processor
    CLSRETRI_PRODUCER producer;                       // what the features this handle makes are comparable with
};

// An 8-bit blue-green-red picture of any size (grey, 4-channel and 16-bit
// pictures are converted); copying the record shares the pixels.
struct _CLSRETRI_INPUT_ {
    cv::Mat image;
};

struct _CLSRETRI_CLS_RET_ {
    float score;
    int class_index;  // position in "prob", 0..999
};

struct _CLSRETRI_OUTPUT_ {
    _CLSRETRI_CLS_RET_ cls[CLSRETRI_TOP_CLASSES];  // best first
    float feature[CLSRETRI_FEATURE_SIZE];
};

// Loads the model (the one built into the library when model_path is null),
// creates its session on `device` (falling back to the processor when the
// graphics processor cannot serve) and stores a new handle in *handle; on
// failure *handle is left as it was. Prints "use embedded model!", "use gpu!"
// or "use cpu!" on standard output.
int CLSRETRI_Init(const char* model_path, _CLSRETRI_DEVICE_ device, void** handle);
// The processor threads the host's configuration asks the next CLSRETRI_Init
// for: 0 (the default) lets the engine choose from its forwards, 1 to 64 force
// that count. QX_ENGINE_THREADS in the environment takes precedence.
void CLSRETRI_SetThreadSetting(int threads);
// Runs one picture; on failure *output may hold the classes but not the feature.
int CLSRETRI_Process(_CLSRETRI_INPUT_ input, _CLSRETRI_OUTPUT_* output, void* handle);
// "running_device" writes the handle's device as an int; "feature_producer"
// writes its CLSRETRI_PRODUCER (model identity and precision).
int CLSRETRI_GetInfo(void* handle, const char* key, void* value);
// Releases the session and the handle and sets *handle to null.
int CLSRETRI_Release(void** handle);

// The picture stretched to the model's 224 x 224 input, RGB planes of v / 255.
int CLSRETRI_preprocess_opencv(_CLSRETRI_INPUT_ input, MNN::Tensor* tensor, CLSRETRI_HANDLE* handle);
// The same through the handle's image converter, with nearest-neighbour
// sampling and the picture turned upside down.
int CLSRETRI_preprocess_mnncv(_CLSRETRI_INPUT_ input, MNN::Tensor* tensor, CLSRETRI_HANDLE* handle);
// The ten best entries of "prob" (dimension 1 must be 1000), best first.
int CLSRETRI_postprocess_cls(MNN::Tensor* prob, _CLSRETRI_CLS_RET_* results, CLSRETRI_HANDLE* handle);
// The first 160 values of "512feature" (dimension 0 must be 160).
int CLSRETRI_postprocess_feat(MNN::Tensor* feature, float* values, CLSRETRI_HANDLE* handle);
