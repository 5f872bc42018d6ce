#pragma once
// What the int8 plan takes from the quantised network built into the library
// (the TFLite file the float32 model's backbone was dequantised from): for
// each convolution of the float32 graph its int8 weights with one scale per
// output channel and its int32 bias, and for each value between them the one
// scale and zero point its activations are quantised with. The activation
// ranges are the ones the network was quantised with by its makers, which its
// int8 weights and biases were fitted to; the feature head and the classes
// after the pooling stay in float32 (they exist only in the float32 model).
//
// The two files are lined up node by node and checked against each other
// (shapes, strides, data flow, and every weight and bias: the float32 value
// must be its int8 value times its scale), so an int8 plan can never run a
// backbone other than the float32 model's.
#include "engine/onnx_info.h"
#include "engine/tflite_info.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

struct INT8_QUANT {
    float scale = 1.0f;
    int32_t zero_point = 0;
};

struct INT8_CONV {
    // XNNPACK's layouts already: O x kh x kw x I, or 1 x kh x kw x C for a
    // depthwise convolution. Points into the int8 source's bytes.
    const int8_t* weights = nullptr;
    std::vector<float> weight_scales;  // one per output channel
    std::vector<int32_t> bias;         // in units of input scale x weight scale
    std::vector<float> bias_scales;
    INT8_QUANT input, output;  // the output after its activation
};

struct INT8_BACKBONE {
    std::unordered_map<size_t, INT8_CONV> convs;  // by node index in the float32 graph
    std::unordered_map<size_t, INT8_QUANT> adds;  // the output of each int8 Add, by node index
};

// Lines `tflite` up with `graph`; false with `why` filled when they do not
// describe the same backbone.
bool int8_backbone_map(const ONNX_GRAPH& graph, const TFLITE_MODEL& tflite, INT8_BACKBONE& backbone, std::string& why);
// The same with the int8 source built into the library.
bool int8_backbone_embedded(const ONNX_GRAPH& graph, INT8_BACKBONE& backbone, std::string& why);
