#include "engine/int8_backbone.h"

#include "engine/embedded_model.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace {

bool is_conv(const TFLITE_OP& op) {
    return op.code == tflite_ops::kConv2d || op.code == tflite_ops::kDepthwiseConv2d;
}

// The float32 model holds float(scale x q) for every int8 weight q.
bool dequantised(float value, double scale, int64_t q) {
    const double expected = scale * double(q);
    return std::fabs(double(value) - expected) <= 1e-6 * std::fabs(expected) + 1e-30;
}

// A per-tensor quantised int8 activation XNNPACK can take.
bool activation_quant(const TFLITE_TENSOR& t, INT8_QUANT& quant) {
    if (t.type != tflite_types::kInt8 || t.scale.size() != 1) return false;
    quant.scale = t.scale[0];
    const int64_t zero = t.zero_point[0];
    if (!std::isfinite(quant.scale) || quant.scale <= 0.0f || zero < -128 || zero > 127) return false;
    quant.zero_point = static_cast<int32_t>(zero);
    return true;
}

// Per-channel int8 weights (zero point 0) along `dimension`, and an int32 bias
// with one scale per output channel.
bool channel_weights(const TFLITE_TENSOR& w, const TFLITE_TENSOR& b, size_t dimension, size_t channels) {
    if (w.type != tflite_types::kInt8 || w.shape.size() != 4 || size_t(w.quantized_dimension) != dimension ||
        w.scale.size() != channels || !w.data || w.data_size != size_t(w.element_count()))
        return false;
    for (size_t o = 0; o < channels; ++o)
        if (w.zero_point[o] != 0 || !std::isfinite(w.scale[o]) || w.scale[o] <= 0.0f) return false;
    return b.type == tflite_types::kInt32 && b.element_count() == int64_t(channels) && b.scale.size() == channels &&
           b.data && b.data_size == channels * sizeof(int32_t);
}

// A two-value attribute of a Conv, 1 x 1 where the node leaves it out.
std::vector<int64_t> attribute_pair(const ONNX_NODE& n, const char* name) {
    const ONNX_ATTRIBUTE* a = n.attribute(name);
    return a ? a->ints : std::vector<int64_t>{1, 1};
}

class Mapper {
public:
    Mapper(const ONNX_GRAPH& graph, const TFLITE_MODEL& tflite, INT8_BACKBONE& backbone, std::string& why)
        : g_(graph), t_(tflite), out_(backbone), why_(why) {}

    bool run() {
        for (const ONNX_TENSOR& w : g_.initializers) weights_[w.name] = &w;
        for (size_t i = 0; i < g_.nodes.size(); ++i)
            for (const std::string& in : g_.nodes[i].inputs) readers_[in].push_back(i);
        for (size_t i = 0; i < t_.ops.size(); ++i)
            if (is_conv(t_.ops[i])) convs_.push_back(i);
        for (size_t i = 0; i < g_.nodes.size(); ++i) {
            const ONNX_NODE& n = g_.nodes[i];
            if (!n.domain.empty() || n.outputs.size() != 1) continue;
            if (n.op_type == "Conv" && !conv(i)) return false;
            if (n.op_type == "Add" && !add(i)) return false;
        }
        return !out_.convs.empty() || fail("the model has no convolution");
    }

private:
    bool fail(const std::string& reason) {
        why_ = reason;
        return false;
    }

    // The value after the node's activation, when the float32 graph has the
    // same one as the int8 source (a Clip or Relu read by nothing else).
    bool activated(size_t node, int activation, std::string& name) const {
        name = g_.nodes[node].outputs[0];
        const auto readers = readers_.find(name);
        const bool one = readers != readers_.end() && readers->second.size() == 1;
        const ONNX_NODE* next = one ? &g_.nodes[readers->second[0]] : nullptr;
        const bool clip = next && next->op_type == "Clip" && next->outputs.size() == 1;
        const bool relu = next && next->op_type == "Relu" && next->outputs.size() == 1;
        if (activation == tflite_activations::kNone) return !clip && !relu;
        if (activation == tflite_activations::kRelu && relu) return name = next->outputs[0], true;
        if (activation != tflite_activations::kRelu6 || !clip) return false;
        const ONNX_ATTRIBUTE* lo = next->attribute("min");
        const ONNX_ATTRIBUTE* hi = next->attribute("max");
        if (!lo || !hi || lo->f != 0.0f || hi->f != 6.0f) return false;
        name = next->outputs[0];
        return true;
    }

    // The value must be the tensor the int8 source has in its place.
    bool flows(const std::string& name, int32_t tensor) {
        const auto known = tensor_of_.emplace(name, tensor);
        return known.first->second == tensor;
    }

    bool conv(size_t node) {
        const ONNX_NODE& n = g_.nodes[node];
        if (next_conv_ >= convs_.size()) return fail("the int8 source has fewer convolutions than the model");
        const TFLITE_OP& op = t_.ops[convs_[next_conv_++]];
        const std::string where = "convolution " + std::to_string(next_conv_);
        if (op.inputs.size() != 3 || op.outputs.size() != 1 || op.inputs[1] < 0 || op.inputs[2] < 0 || n.inputs.size() != 3)
            return fail(where + " is not a convolution with weights and bias in both");
        const auto w = weights_.find(n.inputs[1]);
        const auto b = weights_.find(n.inputs[2]);
        if (w == weights_.end() || b == weights_.end()) return fail(where + " has no constant weights");
        INT8_CONV conv;
        if (!same_layer(n, op, *w->second, *b->second, conv)) return fail(where + " differs between the two files");
        std::string output;
        if (!activation_quant(t_.tensors[op.inputs[0]], conv.input) ||
            !activation_quant(t_.tensors[op.outputs[0]], conv.output))
            return fail(where + " has activations not quantised per tensor in int8");
        if (!activated(node, op.options.activation, output)) return fail(where + " has another activation");
        if (!flows(n.inputs[0], op.inputs[0]) || !flows(output, op.outputs[0]))
            return fail(where + " reads or feeds other layers");
        out_.convs[node] = std::move(conv);
        return true;
    }

    // Shapes, strides and every weight and bias agree; fills the int8 weights.
    bool same_layer(const ONNX_NODE& n, const TFLITE_OP& op, const ONNX_TENSOR& w, const ONNX_TENSOR& b,
                    INT8_CONV& conv) const {
        const TFLITE_TENSOR& tw = t_.tensors[op.inputs[1]];
        const TFLITE_TENSOR& tb = t_.tensors[op.inputs[2]];
        const bool depthwise = op.code == tflite_ops::kDepthwiseConv2d;
        if (w.dims.size() != 4 || w.dims[0] < 1) return false;
        const size_t O = size_t(w.dims[0]);
        if (!channel_weights(tw, tb, depthwise ? 3 : 0, O)) return false;
        const int64_t channels_in = depthwise ? 1 : tw.shape[3];
        if (w.dims != std::vector<int64_t>{int64_t(O), channels_in, tw.shape[1], tw.shape[2]}) return false;
        if (depthwise && (op.options.depth_multiplier != 1 || tw.shape[0] != 1)) return false;
        const TFLITE_OPTIONS& o = op.options;
        if (attribute_pair(n, "strides") != std::vector<int64_t>{o.stride_h, o.stride_w} ||
            attribute_pair(n, "dilations") != std::vector<int64_t>{o.dilation_h, o.dilation_w})
            return false;
        const ONNX_ATTRIBUTE* group = n.attribute("group");
        if ((group ? group->i : 1) != (depthwise ? int64_t(O) : 1)) return false;
        conv.weights = reinterpret_cast<const int8_t*>(tw.data);
        conv.weight_scales = tw.scale;
        conv.bias_scales = tb.scale;
        conv.bias.resize(O);
        std::memcpy(conv.bias.data(), tb.data, O * sizeof(int32_t));
        return same_values(w, conv.weights, conv.weight_scales, depthwise) && same_bias(b, conv);
    }

    static bool same_values(const ONNX_TENSOR& w, const int8_t* q, const std::vector<float>& scales, bool depthwise) {
        std::vector<float> values;
        if (!onnx_tensor_floats(w, values)) return false;
        const size_t O = size_t(w.dims[0]), I = size_t(w.dims[1]), kh = size_t(w.dims[2]), kw = size_t(w.dims[3]);
        for (size_t o = 0; o < O; ++o)
            for (size_t i = 0; i < I; ++i)
                for (size_t y = 0; y < kh; ++y)
                    for (size_t x = 0; x < kw; ++x) {
                        const size_t at = depthwise ? (y * kw + x) * O + o : ((o * kh + y) * kw + x) * I + i;
                        if (!dequantised(values[((o * I + i) * kh + y) * kw + x], scales[o], q[at])) return false;
                    }
        return true;
    }

    static bool same_bias(const ONNX_TENSOR& b, const INT8_CONV& conv) {
        std::vector<float> values;
        if (!onnx_tensor_floats(b, values) || values.size() != conv.bias.size()) return false;
        for (size_t o = 0; o < values.size(); ++o)
            if (!dequantised(values[o], conv.bias_scales[o], conv.bias[o])) return false;
        return true;
    }

    // An Add of two int8 values is the int8 source's ADD of the same two
    // tensors; any other Add (the input's scaling) stays in float32.
    bool add(size_t node) {
        const ONNX_NODE& n = g_.nodes[node];
        if (n.inputs.size() != 2) return true;
        const auto a = tensor_of_.find(n.inputs[0]);
        const auto b = tensor_of_.find(n.inputs[1]);
        if (a == tensor_of_.end() || b == tensor_of_.end()) return true;
        for (const TFLITE_OP& op : t_.ops) {
            if (op.code != tflite_ops::kAdd || op.inputs.size() != 2 || op.outputs.size() != 1) continue;
            const bool same = (op.inputs[0] == a->second && op.inputs[1] == b->second) ||
                              (op.inputs[0] == b->second && op.inputs[1] == a->second);
            if (!same) continue;
            std::string output;
            INT8_QUANT quant;
            if (!activation_quant(t_.tensors[op.outputs[0]], quant) || !activated(node, op.options.activation, output) ||
                !flows(output, op.outputs[0]))
                return fail("an addition differs between the two files");
            out_.adds[node] = quant;
            return true;
        }
        return fail("an addition of two int8 values has no counterpart in the int8 source");
    }

    const ONNX_GRAPH& g_;
    const TFLITE_MODEL& t_;
    INT8_BACKBONE& out_;
    std::string& why_;
    std::unordered_map<std::string, const ONNX_TENSOR*> weights_;
    std::unordered_map<std::string, std::vector<size_t>> readers_;
    std::unordered_map<std::string, int32_t> tensor_of_;  // float32 value -> int8 source tensor
    std::vector<size_t> convs_;                           // the int8 source's convolutions, in order
    size_t next_conv_ = 0;
};

}  // namespace

bool int8_backbone_map(const ONNX_GRAPH& graph, const TFLITE_MODEL& tflite, INT8_BACKBONE& backbone, std::string& why) {
    backbone = INT8_BACKBONE();
    const bool ok = Mapper(graph, tflite, backbone, why).run();
    if (!ok) backbone = INT8_BACKBONE();
    return ok;
}

bool int8_backbone_embedded(const ONNX_GRAPH& graph, INT8_BACKBONE& backbone, std::string& why) {
    TFLITE_MODEL tflite;
    if (!tflite_read_model(embedded_int8_source_data, embedded_int8_source_size, tflite)) {
        why = "the built-in int8 source cannot be read";
        return false;
    }
    return int8_backbone_map(graph, tflite, backbone, why);
}
