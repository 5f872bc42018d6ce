#pragma once
// What the int8 plan reads from a TensorFlow Lite model, the flatbuffer that
// the quantised network was published in: its tensors with their quantisation
// and constant data, and its operators with the options a convolutional
// backbone uses. Only those fields are looked at; every offset is
// bounds-checked and every count capped (tflite_limits), so a damaged file
// gives `false`, never a crash or a huge allocation.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// TensorType of the schema (the ones the plan reads).
namespace tflite_types {
constexpr int kFloat32 = 0;
constexpr int kInt32 = 2;
constexpr int kUint8 = 3;
constexpr int kInt8 = 9;
}  // namespace tflite_types

// BuiltinOperator of the schema (the ones the plan reads).
namespace tflite_ops {
constexpr int kAdd = 0;
constexpr int kConv2d = 3;
constexpr int kDepthwiseConv2d = 4;
constexpr int kMean = 40;
}  // namespace tflite_ops

// ActivationFunctionType of the schema.
namespace tflite_activations {
constexpr int kNone = 0;
constexpr int kRelu = 1;
constexpr int kRelu6 = 3;
}  // namespace tflite_activations

struct TFLITE_TENSOR {
    std::string name;
    std::vector<int32_t> shape;
    int type = -1;
    // Quantisation: one scale and zero point per tensor, or one per index of
    // dimension `quantized_dimension`; empty when the tensor is not quantised.
    std::vector<float> scale;
    std::vector<int64_t> zero_point;
    int32_t quantized_dimension = 0;
    // The constant values in the model's bytes (unaligned), or null.
    const uint8_t* data = nullptr;
    size_t data_size = 0;

    // Product of the shape, or -1 when a dimension is negative or it is over the cap.
    int64_t element_count() const;
};

// The options of a convolution (Conv2DOptions, DepthwiseConv2DOptions) or of
// an ADD (its activation only).
struct TFLITE_OPTIONS {
    bool same_padding = false;  // else VALID
    int stride_w = 1, stride_h = 1;
    int dilation_w = 1, dilation_h = 1;
    int depth_multiplier = 1;
    int activation = tflite_activations::kNone;
};

struct TFLITE_OP {
    int code = -1;  // BuiltinOperator
    std::vector<int32_t> inputs, outputs;  // tensor indices; -1 for an omitted input
    TFLITE_OPTIONS options;
};

struct TFLITE_MODEL {
    std::vector<TFLITE_TENSOR> tensors;  // of the first subgraph
    std::vector<TFLITE_OP> ops;          // in execution order
    std::vector<int32_t> inputs, outputs;
};

namespace tflite_limits {
constexpr size_t kTensors = 10000;
constexpr size_t kOps = 10000;
constexpr size_t kBuffers = 10000;
constexpr size_t kOperatorCodes = 1000;
constexpr size_t kOpInputs = 64;
constexpr size_t kDims = 8;
constexpr size_t kQuantValues = 1 << 16;
constexpr size_t kNameBytes = 4096;
constexpr int64_t kTensorElements = int64_t(1) << 28;
}  // namespace tflite_limits

// False when the bytes are not a well-formed model with a subgraph, a tensor
// or operator index is out of range, or a cap is passed. Tensor data points
// into `data`, which must outlive the model.
bool tflite_read_model(const void* data, size_t size, TFLITE_MODEL& model);
