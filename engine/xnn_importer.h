#pragma once
// The importer behind XnnNetwork::create: walks the ONNX graph in order and
// defines each node in an XNNPACK subgraph.
//
// Two plans of the same graph. The float32 plan (xnn_importer.cpp) defines
// every node in float32. The int8 plan (xnn_importer_int8.cpp) defines the
// backbone's convolutions and additions in int8, with the weights and
// activation ranges of the int8 source (int8_backbone.h), and every other node
// in float32 as the float32 plan does; a value is converted where it crosses
// from one to the other (the input's scaled picture into the first
// convolution, the last convolution's output into the pooling).
//
// Layouts: ONNX activations are NCHW, XNNPACK's are NHWC. Every 4-D value is
// kept in NHWC inside the subgraph (its ONNX dims are remembered beside it);
// the input is transposed on the way in and any 4-D output on the way out.
// Float32 weights are reordered once at import: convolution OIHW -> OHWI,
// depthwise [C,1,kh,kw] -> [1,kh,kw,C] (the int8 source stores them so
// already). Nothing is folded across nodes except a Clip or Relu straight
// after a Conv, Gemm or Add, which becomes that node's output range: folding
// the input's scale and shift into the first convolution would change the
// values at the zero-padded border.
#include "engine/int8_backbone.h"
#include "engine/onnx_info.h"

#include <xnnpack.h>

#include <cstdint>
#include <limits>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace xnn_import {

using Dims = std::vector<size_t>;

constexpr float kInf = std::numeric_limits<float>::infinity();
// No activation of the model comes near this; it keeps a hostile shape from
// asking for gigabytes before XNNPACK would.
constexpr size_t kMaxActivation = size_t(1) << 24;

struct Value {
    uint32_t id = XNN_INVALID_VALUE_ID;
    Dims dims;          // ONNX order
    bool nhwc = false;  // 4-D, stored as N, H, W, C
    bool int8 = false;  // quantised with `quant`, else float32
    INT8_QUANT quant;
};

struct Range {
    float lo = -kInf, hi = kInf;
};

Dims xnn_dims(const Value& v);
size_t element_count(const Dims& dims);

// Weights and constants in XNNPACK's layouts, with the scales of the int8
// ones: the subgraph and its runtimes read them for as long as they live.
struct Statics {
    std::vector<std::vector<float>> floats;
    std::vector<std::vector<int32_t>> ints;
};

// One Conv node's attributes and shapes, checked against its input.
struct ConvShape {
    const Value* x = nullptr;
    size_t O = 0, Ig = 0, kh = 0, kw = 0, group = 1;
    size_t N = 0, oh = 0, ow = 0;
    int64_t stride_h = 1, stride_w = 1, dilation_h = 1, dilation_w = 1;
    int64_t top = 0, left = 0, bottom = 0, right = 0;
    bool depthwise = false;
};

class Importer {
public:
    // `int8` null: the float32 plan. The int8 source's weights must outlive
    // the subgraph and its runtimes (the built-in one lives as long as the library).
    Importer(const ONNX_GRAPH& graph, xnn_subgraph_t subgraph, Statics& statics, const INT8_BACKBONE* int8,
             std::string& why)
        : g_(graph), sg_(subgraph), st_(statics), int8_(int8), why_(why) {}

    bool run(const std::vector<int>& input_shape);
    // A value the import defined, by its ONNX name.
    const Value* value(const std::string& name) const;
    // The input's shape, NCHW.
    const Dims& input_nchw() const { return input_nchw_; }

private:
    bool fail(const std::string& reason);
    bool define_input(const std::vector<int>& input_shape);
    const ONNX_TENSOR* weight(const std::string& name) const;
    void plan_fused_ranges();
    bool clip_range(const ONNX_NODE& n, Range& range) const;
    bool define(size_t node, const Dims& dims, bool nhwc, Value& out, const INT8_QUANT* quant = nullptr);
    bool define_named(const std::string& name, const Dims& dims, bool nhwc, Value& out, const INT8_QUANT* quant);
    bool internal(const Dims& xdims, uint32_t& id);
    bool constant(std::vector<float> data, const Dims& xdims, uint32_t& id);
    Range range_of(size_t node) const;
    int64_t int_attribute(const ONNX_NODE& n, const char* name, int64_t fallback) const;
    float float_attribute(const ONNX_NODE& n, const char* name, float fallback) const;
    bool pair_attribute(const ONNX_NODE& n, const char* name, size_t count, std::vector<int64_t>& out) const;
    bool import(size_t index);

    // Convolutions: the shape is read once; the float32 and int8 plans each
    // lay out their weights and define the same node with them.
    bool conv(size_t index);
    bool conv_shape(size_t index, ConvShape& s);
    bool conv_fp32(size_t index, const ConvShape& s);
    bool conv_int8(size_t index, const ConvShape& s, const INT8_CONV& q);
    bool define_conv(size_t index, const ConvShape& s, uint32_t x, uint32_t filter, uint32_t bias, uint32_t y);

    using BinaryDefine = xnn_status (*)(xnn_subgraph_t, float, float, uint32_t, uint32_t, uint32_t, uint32_t);
    bool operand(const std::string& name, const Value* other, uint32_t& id, Dims& onnx_dims, bool& nhwc);
    bool binary(size_t index, BinaryDefine define_node);
    bool add_int8(size_t index, const INT8_QUANT& out);
    bool clamp(size_t index);
    bool global_average_pool(size_t index);
    bool reshape(size_t index);
    bool reshape_target(const ONNX_NODE& n, const Value& x, Dims& target);
    bool gemm(size_t index);
    bool softmax(size_t index);
    bool reduce_l2(size_t index);

    // The int8 plan's crossings: a value as float32 for a float32 node (a
    // float32 value itself), and as int8 with `quant` for an int8 one.
    const Value* float_value(const std::string& name);
    bool int8_value(const Value& x, const std::string& name, const INT8_QUANT& quant, uint32_t& id);

    const ONNX_GRAPH& g_;
    xnn_subgraph_t sg_;
    Statics& st_;
    const INT8_BACKBONE* int8_;
    std::string& why_;
    Dims input_nchw_;
    std::unordered_map<std::string, const ONNX_TENSOR*> weights_;
    std::unordered_map<std::string, Value> values_;
    std::unordered_map<std::string, Value> crossed_;  // converted copies, by name and direction
    std::unordered_map<std::string, uint32_t> output_ids_;
    std::unordered_map<size_t, std::pair<Range, std::string>> fused_;
    std::unordered_map<size_t, bool> fused_away_;
};

}  // namespace xnn_import
