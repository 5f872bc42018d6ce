// The ONNX-to-XNNPACK importer and the forward pass of XnnNetwork.
//
// Layouts: ONNX activations are NCHW, XNNPACK's are NHWC. Every 4-D value is
// kept in NHWC inside the subgraph (its ONNX dims are remembered beside it);
// the input is transposed on the way in and any 4-D output on the way out.
// Weights are reordered once at import: convolution OIHW -> OHWI, depthwise
// [C,1,kh,kw] -> [1,kh,kw,C]. Nothing is folded across nodes except a Clip or
// Relu straight after a Conv, Gemm or Add, which becomes that node's output
// range: folding the input's scale and shift into the first convolution would
// change the values at the zero-padded border.
#include "engine/xnn_network.h"

#include <pthreadpool.h>
#include <xnnpack.h>

#if defined(__arm__) || defined(__aarch64__)
#include <sys/auxv.h>
#endif

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <limits>
#include <unordered_map>

namespace {

using Dims = std::vector<size_t>;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr size_t kExtraFloats = (XNN_EXTRA_BYTES + sizeof(float) - 1) / sizeof(float);
// No activation of the model comes near this; it keeps a hostile shape from
// asking for gigabytes before XNNPACK would.
constexpr size_t kMaxActivation = size_t(1) << 24;

struct Value {
    uint32_t id = XNN_INVALID_VALUE_ID;
    Dims dims;          // ONNX order
    bool nhwc = false;  // 4-D, stored as N, H, W, C
};

Dims xnn_dims(const Value& v) {
    if (!v.nhwc) return v.dims;
    return {v.dims[0], v.dims[2], v.dims[3], v.dims[1]};
}

size_t element_count(const Dims& dims) {
    size_t n = 1;
    for (size_t d : dims) n *= d;
    return n;
}

bool broadcast(const Dims& a, const Dims& b, Dims& out) {
    const size_t rank = std::max(a.size(), b.size());
    out.assign(rank, 1);
    for (size_t i = 0; i < rank; ++i) {
        const size_t da = i < rank - a.size() ? 1 : a[i - (rank - a.size())];
        const size_t db = i < rank - b.size() ? 1 : b[i - (rank - b.size())];
        if (da != db && da != 1 && db != 1) return false;
        out[i] = std::max(da, db);
    }
    return true;
}

struct Range {
    float lo = -kInf, hi = kInf;
};

}  // namespace

struct XnnNetwork::State {
    // The plan on the caller's thread alone, and the plan on the pool; either
    // may be missing, never both once the network is made.
    xnn_runtime_t alone = nullptr;
    xnn_runtime_t pooled = nullptr;
    pthreadpool_t pool = nullptr;
    // Kept for a pool plan made after the network: the graph, and the input and
    // output buffers every plan is bound to.
    xnn_subgraph_t subgraph = nullptr;
    std::vector<xnn_external_value> externals;
    // Weights and constants in XNNPACK's layouts; the runtime may read them
    // for as long as it lives.
    std::vector<std::vector<float>> statics;
    Dims input_nchw;
    std::vector<float> input;  // NHWC, with XNNPACK's read-ahead slack
    struct OutputBuffer {
        uint32_t id;
        Value value;
        std::vector<float> raw;   // as XNNPACK writes it, with slack
        std::vector<float> nchw;  // 4-D outputs turned back to NCHW
    };
    std::vector<OutputBuffer> outputs;

    ~State() {
        if (alone) xnn_delete_runtime(alone);
        if (pooled) xnn_delete_runtime(pooled);
        if (pool) pthreadpool_destroy(pool);
        if (subgraph) xnn_delete_subgraph(subgraph);
    }
};

namespace {

class Importer {
public:
    Importer(const ONNX_GRAPH& graph, xnn_subgraph_t subgraph, XnnNetwork::State& state, std::string& why)
        : g_(graph), sg_(subgraph), st_(state), why_(why) {}

    bool run(const std::vector<int>& input_shape) {
        for (const ONNX_TENSOR& t : g_.initializers) weights_[t.name] = &t;
        for (size_t i = 0; i < g_.outputs.size(); ++i) output_ids_[g_.outputs[i]] = static_cast<uint32_t>(i + 1);
        if (g_.inputs.size() != 1) return fail("the model has " + std::to_string(g_.inputs.size()) + " inputs");
        if (input_shape.size() != 4) return fail("the input is not 4-D");
        Dims in;
        for (int d : input_shape) {
            if (d <= 0) return fail("the input has an open dimension");
            in.push_back(static_cast<size_t>(d));
        }
        if (element_count(in) > kMaxActivation) return fail("the input is too large");
        Value input{0, in, true};
        const Dims xdims = xnn_dims(input);
        if (xnn_define_tensor_value(sg_, xnn_datatype_fp32, xdims.size(), xdims.data(), nullptr, 0,
                                    XNN_VALUE_FLAG_EXTERNAL_INPUT, &input.id) != xnn_status_success)
            return fail("XNNPACK refused the input");
        if (output_ids_.count(g_.inputs[0].name)) return fail("the input is also an output");
        values_[g_.inputs[0].name] = input;
        st_.input_nchw = in;

        plan_fused_ranges();
        for (size_t i = 0; i < g_.nodes.size(); ++i) {
            if (fused_away_.count(i)) continue;
            if (!import(i)) return false;
        }
        for (const std::string& name : g_.outputs)
            if (!values_.count(name)) return fail("output " + name + " is not computed by any node");
        return true;
    }

    // A value the import defined, by its ONNX name.
    const Value* value(const std::string& name) const {
        const auto it = values_.find(name);
        return it == values_.end() ? nullptr : &it->second;
    }

private:
    bool fail(const std::string& reason) {
        why_ = reason;
        return false;
    }

    const ONNX_TENSOR* weight(const std::string& name) const {
        const auto it = weights_.find(name);
        return it == weights_.end() ? nullptr : it->second;
    }
    // A Clip or Relu whose input is a Conv, Gemm or Add output read by nothing
    // else becomes that node's output range; outputs must be flagged when they
    // are defined, so the clipped name is what the producer defines.
    void plan_fused_ranges() {
        std::unordered_map<std::string, int> readers;
        std::unordered_map<std::string, size_t> producer;
        for (size_t i = 0; i < g_.nodes.size(); ++i) {
            for (const std::string& in : g_.nodes[i].inputs) ++readers[in];
            for (const std::string& out : g_.nodes[i].outputs) producer[out] = i;
        }
        for (size_t i = 0; i < g_.nodes.size(); ++i) {
            const ONNX_NODE& n = g_.nodes[i];
            if ((n.op_type != "Clip" && n.op_type != "Relu") || !n.domain.empty()) continue;
            if (n.inputs.empty() || n.outputs.size() != 1) continue;
            const auto p = producer.find(n.inputs[0]);
            if (p == producer.end() || readers[n.inputs[0]] != 1 || output_ids_.count(n.inputs[0])) continue;
            const ONNX_NODE& source = g_.nodes[p->second];
            if (source.op_type != "Conv" && source.op_type != "Gemm" && source.op_type != "Add") continue;
            if (source.outputs.size() != 1 || fused_.count(p->second)) continue;
            Range range;
            if (!clip_range(n, range)) continue;
            fused_[p->second] = {range, n.outputs[0]};
            fused_away_[i] = true;
        }
    }

    bool clip_range(const ONNX_NODE& n, Range& range) const {
        if (n.op_type == "Relu") {
            range.lo = 0.0f;
            return true;
        }
        if (const ONNX_ATTRIBUTE* a = n.attribute("min")) range.lo = a->f;
        if (const ONNX_ATTRIBUTE* a = n.attribute("max")) range.hi = a->f;
        for (size_t k = 1; k < n.inputs.size() && k < 3; ++k) {  // opset 11 and later: bounds as inputs
            if (n.inputs[k].empty()) continue;
            const ONNX_TENSOR* t = weight(n.inputs[k]);
            std::vector<float> v;
            if (!t || !onnx_tensor_floats(*t, v) || v.size() != 1) return false;
            (k == 1 ? range.lo : range.hi) = v[0];
        }
        return range.lo <= range.hi;
    }

    // Defines a node's result (the fused Clip's name where there is one).
    bool define(size_t node, const Dims& dims, bool nhwc, Value& out) {
        std::string name = g_.nodes[node].outputs.empty() ? std::string() : g_.nodes[node].outputs[0];
        if (const auto f = fused_.find(node); f != fused_.end()) name = f->second.second;
        return define_named(name, dims, nhwc, out);
    }

    bool define_named(const std::string& name, const Dims& dims, bool nhwc, Value& out) {
        if (name.empty()) return fail("a node without an output");
        if (values_.count(name) || weights_.count(name)) return fail("value " + name + " is defined twice");
        for (size_t d : dims)
            if (d == 0) return fail("value " + name + " has an empty dimension");
        if (element_count(dims) > kMaxActivation) return fail("value " + name + " is too large");
        out.dims = dims;
        out.nhwc = nhwc;
        const Dims xdims = xnn_dims(out);
        const auto external = output_ids_.find(name);
        const uint32_t id = external == output_ids_.end() ? XNN_INVALID_VALUE_ID : external->second;
        const uint32_t flags = external == output_ids_.end() ? 0 : XNN_VALUE_FLAG_EXTERNAL_OUTPUT;
        if (xnn_define_tensor_value(sg_, xnn_datatype_fp32, xdims.size(), xdims.data(), nullptr, id, flags,
                                    &out.id) != xnn_status_success)
            return fail("XNNPACK refused value " + name);
        values_[name] = out;
        return true;
    }

    bool internal(const Dims& xdims, uint32_t& id) {
        return xnn_define_tensor_value(sg_, xnn_datatype_fp32, xdims.size(), xdims.data(), nullptr,
                                       XNN_INVALID_VALUE_ID, 0, &id) == xnn_status_success;
    }

    bool constant(std::vector<float> data, const Dims& xdims, uint32_t& id) {
        st_.statics.push_back(std::move(data));
        return xnn_define_tensor_value(sg_, xnn_datatype_fp32, xdims.size(), xdims.data(), st_.statics.back().data(),
                                       XNN_INVALID_VALUE_ID, 0, &id) == xnn_status_success;
    }

    Range range_of(size_t node) const {
        const auto f = fused_.find(node);
        return f == fused_.end() ? Range() : f->second.first;
    }

    int64_t int_attribute(const ONNX_NODE& n, const char* name, int64_t fallback) const {
        const ONNX_ATTRIBUTE* a = n.attribute(name);
        return a && a->has_int ? a->i : fallback;
    }
    float float_attribute(const ONNX_NODE& n, const char* name, float fallback) const {
        const ONNX_ATTRIBUTE* a = n.attribute(name);
        return a && a->has_float ? a->f : fallback;
    }
    bool pair_attribute(const ONNX_NODE& n, const char* name, size_t count, std::vector<int64_t>& out) const {
        const ONNX_ATTRIBUTE* a = n.attribute(name);
        if (!a) return true;
        if (a->ints.size() != count) return false;
        for (int64_t v : a->ints)
            if (v < 0 || v > 1024) return false;
        out = a->ints;
        return true;
    }

    bool import(size_t index) {
        const ONNX_NODE& n = g_.nodes[index];
        const std::string& op = n.op_type;
        if (!n.domain.empty() && n.domain != "ai.onnx") return fail("operation " + n.domain + "." + op);
        if (n.outputs.size() != 1) return fail(op + " with " + std::to_string(n.outputs.size()) + " outputs");
        if (op == "Conv") return conv(index);
        if (op == "Add") return binary(index, xnn_define_add2);
        if (op == "Mul") return binary(index, xnn_define_multiply2);
        if (op == "Sub") return binary(index, xnn_define_subtract);
        if (op == "Div") return binary(index, xnn_define_divide);
        if (op == "Clip" || op == "Relu") return clamp(index);
        if (op == "GlobalAveragePool") return global_average_pool(index);
        if (op == "Flatten" || op == "Reshape") return reshape(index);
        if (op == "Gemm" || op == "MatMul") return gemm(index);
        if (op == "Softmax") return softmax(index);
        if (op == "ReduceL2") return reduce_l2(index);
        return fail("operation " + op + " is not imported");
    }

    bool conv(size_t index) {
        const ONNX_NODE& n = g_.nodes[index];
        if (n.inputs.size() < 2) return fail("Conv without weights");
        const Value* x = value(n.inputs[0]);
        const ONNX_TENSOR* w = weight(n.inputs[1]);
        const ONNX_TENSOR* b = n.inputs.size() > 2 && !n.inputs[2].empty() ? weight(n.inputs[2]) : nullptr;
        if (!x || !x->nhwc || !w || w->dims.size() != 4 || (n.inputs.size() > 2 && !n.inputs[2].empty() && !b))
            return fail("Conv on something other than a 4-D value with constant weights");
        if (const ONNX_ATTRIBUTE* a = n.attribute("auto_pad"); a && a->s != "NOTSET" && !a->s.empty())
            return fail("Conv with auto_pad " + a->s);
        std::vector<float> wv, bv;
        if (!onnx_tensor_floats(*w, wv) || (b && !onnx_tensor_floats(*b, bv))) return fail("Conv weights unreadable");
        const size_t O = w->dims[0], Ig = w->dims[1], kh = w->dims[2], kw = w->dims[3];
        const size_t N = x->dims[0], C = x->dims[1], H = x->dims[2], W = x->dims[3];
        const int64_t group = int_attribute(n, "group", 1);
        std::vector<int64_t> strides{1, 1}, dilations{1, 1}, pads{0, 0, 0, 0}, kernel{int64_t(kh), int64_t(kw)};
        if (!pair_attribute(n, "strides", 2, strides) || !pair_attribute(n, "dilations", 2, dilations) ||
            !pair_attribute(n, "pads", 4, pads) || !pair_attribute(n, "kernel_shape", 2, kernel))
            return fail("Conv attributes out of range");
        if (group < 1 || C % group || O % group || Ig * group != C || O == 0 || kernel[0] != int64_t(kh) ||
            kernel[1] != int64_t(kw) || strides[0] < 1 || strides[1] < 1 || dilations[0] < 1 || dilations[1] < 1)
            return fail("Conv shapes do not match");
        if (b && bv.size() != O) return fail("Conv bias does not match");
        // ONNX pads: top, left, bottom, right.
        const int64_t top = pads[0], left = pads[1], bottom = pads[2], right = pads[3];
        const int64_t span_h = (int64_t(kh) - 1) * dilations[0] + 1, span_w = (int64_t(kw) - 1) * dilations[1] + 1;
        const int64_t oh = (int64_t(H) + top + bottom - span_h) / strides[0] + 1;
        const int64_t ow = (int64_t(W) + left + right - span_w) / strides[1] + 1;
        if (int64_t(H) + top + bottom < span_h || int64_t(W) + left + right < span_w || oh < 1 || ow < 1)
            return fail("Conv output would be empty");

        const bool depthwise = group > 1 && Ig == 1 && size_t(group) == C;
        std::vector<float> filter(wv.size());
        Dims filter_dims;
        if (depthwise) {  // [O,1,kh,kw] -> [1,kh,kw,O]
            for (size_t o = 0; o < O; ++o)
                for (size_t y = 0; y < kh; ++y)
                    for (size_t xx = 0; xx < kw; ++xx) filter[(y * kw + xx) * O + o] = wv[(o * kh + y) * kw + xx];
            filter_dims = {1, kh, kw, O};
        } else {  // OIHW -> OHWI
            for (size_t o = 0; o < O; ++o)
                for (size_t i = 0; i < Ig; ++i)
                    for (size_t y = 0; y < kh; ++y)
                        for (size_t xx = 0; xx < kw; ++xx)
                            filter[((o * kh + y) * kw + xx) * Ig + i] = wv[((o * Ig + i) * kh + y) * kw + xx];
            filter_dims = {O, kh, kw, Ig};
        }
        uint32_t filter_id, bias_id = XNN_INVALID_VALUE_ID;
        if (!constant(std::move(filter), filter_dims, filter_id) || (b && !constant(std::move(bv), {O}, bias_id)))
            return fail("XNNPACK refused Conv weights");
        Value y;
        if (!define(index, {N, O, size_t(oh), size_t(ow)}, true, y)) return false;
        const Range r = range_of(index);
        xnn_status s;
        // XNNPACK's padding order: top, right, bottom, left.
        if (depthwise)
            s = xnn_define_depthwise_convolution_2d(sg_, top, right, bottom, left, kh, kw, strides[0], strides[1],
                                                    dilations[0], dilations[1], O / C, C, r.lo, r.hi, x->id,
                                                    filter_id, bias_id, y.id, 0);
        else
            s = xnn_define_convolution_2d(sg_, top, right, bottom, left, kh, kw, strides[0], strides[1], dilations[0],
                                          dilations[1], group, Ig, O / group, r.lo, r.hi, x->id, filter_id, bias_id,
                                          y.id, 0);
        return s == xnn_status_success || fail("XNNPACK refused a Conv");
    }

    using BinaryDefine = xnn_status (*)(xnn_subgraph_t, float, float, uint32_t, uint32_t, uint32_t, uint32_t);

    // An operand of an elementwise node: a value, or a constant shaped so that
    // XNNPACK's broadcasting against the other (NHWC) operand means the same
    // as ONNX's against NCHW.
    bool operand(const std::string& name, const Value* other, uint32_t& id, Dims& onnx_dims, bool& nhwc) {
        if (const Value* v = value(name)) {
            id = v->id;
            onnx_dims = v->dims;
            nhwc = v->nhwc;
            return true;
        }
        const ONNX_TENSOR* t = weight(name);
        std::vector<float> data;
        if (!t || !onnx_tensor_floats(*t, data) || data.empty() || !other) return false;
        onnx_dims.assign(t->dims.begin(), t->dims.end());
        nhwc = false;
        if (data.size() == 1) return constant(std::move(data), {1}, id);
        if (!other->nhwc) return constant(std::move(data), onnx_dims, id);
        // Per-channel against NCHW: [C,1,1] or [1,C,1,1] becomes [C] against NHWC.
        Dims padded(4 - std::min<size_t>(4, onnx_dims.size()), 1);
        padded.insert(padded.end(), onnx_dims.begin(), onnx_dims.end());
        if (padded.size() != 4 || padded[0] != 1 || padded[2] != 1 || padded[3] != 1 || padded[1] != other->dims[1])
            return false;
        onnx_dims = padded;
        nhwc = true;
        return constant(std::move(data), {padded[1]}, id);
    }

    bool binary(size_t index, BinaryDefine define_node) {
        const ONNX_NODE& n = g_.nodes[index];
        if (n.inputs.size() != 2) return fail(n.op_type + " without two inputs");
        const Value* va = value(n.inputs[0]);
        const Value* vb = value(n.inputs[1]);
        if (!va && !vb) return fail(n.op_type + " of two constants");
        uint32_t ia, ib;
        Dims da, db, dout;
        bool na, nb;
        if (!operand(n.inputs[0], vb, ia, da, na) || !operand(n.inputs[1], va, ib, db, nb))
            return fail(n.op_type + " operands of an unsupported shape");
        const bool value_nhwc = (va && va->nhwc) || (vb && vb->nhwc);
        if (va && vb && va->nhwc != vb->nhwc) return fail(n.op_type + " of mixed layouts");
        if (!broadcast(da, db, dout)) return fail(n.op_type + " operands do not broadcast");
        if (value_nhwc && dout.size() != 4) return fail(n.op_type + " changes a 4-D value's rank");
        Value y;
        if (!define(index, dout, value_nhwc, y)) return false;
        const Range r = range_of(index);
        return define_node(sg_, r.lo, r.hi, ia, ib, y.id, 0) == xnn_status_success ||
               fail("XNNPACK refused a " + n.op_type);
    }

    bool clamp(size_t index) {
        const ONNX_NODE& n = g_.nodes[index];
        const Value* x = n.inputs.empty() ? nullptr : value(n.inputs[0]);
        Range r;
        if (!x || !clip_range(n, r)) return fail(n.op_type + " with unsupported bounds");
        Value y;
        if (!define(index, x->dims, x->nhwc, y)) return false;
        return xnn_define_clamp(sg_, r.lo, r.hi, x->id, y.id, 0) == xnn_status_success ||
               fail("XNNPACK refused a " + n.op_type);
    }

    bool global_average_pool(size_t index) {
        const ONNX_NODE& n = g_.nodes[index];
        const Value* x = n.inputs.empty() ? nullptr : value(n.inputs[0]);
        if (!x || !x->nhwc) return fail("GlobalAveragePool of a value that is not 4-D");
        Value y;
        if (!define(index, {x->dims[0], x->dims[1], 1, 1}, true, y)) return false;
        return xnn_define_global_average_pooling_2d(sg_, -kInf, kInf, x->id, y.id, 0) == xnn_status_success ||
               fail("XNNPACK refused a GlobalAveragePool");
    }

    bool reshape(size_t index) {
        const ONNX_NODE& n = g_.nodes[index];
        const Value* x = n.inputs.empty() ? nullptr : value(n.inputs[0]);
        if (!x) return fail(n.op_type + " of a constant");
        const size_t total = element_count(x->dims);
        Dims target;
        if (n.op_type == "Flatten") {
            int64_t axis = int_attribute(n, "axis", 1);
            if (axis < 0) axis += int64_t(x->dims.size());
            if (axis < 0 || axis > int64_t(x->dims.size())) return fail("Flatten axis out of range");
            const size_t outer = element_count(Dims(x->dims.begin(), x->dims.begin() + axis));
            target = {outer, total / outer};
        } else {
            std::vector<int64_t> shape;
            const ONNX_TENSOR* t = n.inputs.size() > 1 ? weight(n.inputs[1]) : nullptr;
            if (t) {
                if (!onnx_tensor_ints(*t, shape)) return fail("Reshape shape unreadable");
            } else if (const ONNX_ATTRIBUTE* a = n.attribute("shape")) {
                shape = a->ints;
            } else {
                return fail("Reshape to a computed shape");
            }
            if (shape.empty() || shape.size() > onnx_limits::kDims) return fail("Reshape rank out of range");
            size_t known = 1;
            int open = -1;
            for (size_t i = 0; i < shape.size(); ++i) {
                int64_t d = shape[i];
                if (d == 0) {
                    if (i >= x->dims.size()) return fail("Reshape copies a missing dimension");
                    d = int64_t(x->dims[i]);
                }
                if (d == -1) {
                    if (open >= 0) return fail("Reshape with two open dimensions");
                    open = int(i);
                    target.push_back(1);
                    continue;
                }
                if (d < 1 || size_t(d) > kMaxActivation) return fail("Reshape dimension out of range");
                target.push_back(size_t(d));
                known *= size_t(d);
                if (known > kMaxActivation) return fail("Reshape dimension out of range");
            }
            if (open >= 0) {
                if (known == 0 || total % known) return fail("Reshape does not divide");
                target[open] = total / known;
            }
        }
        if (element_count(target) != total) return fail(n.op_type + " changes the element count");
        // NHWC and NCHW hold the same sequence only when the picture is 1 x 1.
        if (x->nhwc && x->dims[2] * x->dims[3] != 1) return fail(n.op_type + " of a picture larger than 1 x 1");
        const bool nhwc = target.size() == 4;
        if (nhwc && target[2] * target[3] != 1) return fail(n.op_type + " to a picture larger than 1 x 1");
        Value y;
        if (!define(index, target, nhwc, y)) return false;
        const Dims xdims = xnn_dims(y);
        return xnn_define_static_reshape(sg_, xdims.size(), xdims.data(), x->id, y.id, 0) == xnn_status_success ||
               fail("XNNPACK refused a " + n.op_type);
    }

    bool gemm(size_t index) {
        const ONNX_NODE& n = g_.nodes[index];
        const bool matmul = n.op_type == "MatMul";
        const Value* a = n.inputs.empty() ? nullptr : value(n.inputs[0]);
        const ONNX_TENSOR* b = n.inputs.size() > 1 ? weight(n.inputs[1]) : nullptr;
        const ONNX_TENSOR* c = !matmul && n.inputs.size() > 2 && !n.inputs[2].empty() ? weight(n.inputs[2]) : nullptr;
        if (!a || a->nhwc || a->dims.size() != 2 || !b || b->dims.size() != 2 ||
            (!matmul && n.inputs.size() > 2 && !n.inputs[2].empty() && !c))
            return fail(n.op_type + " of anything but a 2-D value and constant weights");
        if (!matmul && int_attribute(n, "transA", 0) != 0) return fail("Gemm with transA");
        const bool trans_b = !matmul && int_attribute(n, "transB", 0) != 0;
        const float alpha = matmul ? 1.0f : float_attribute(n, "alpha", 1.0f);
        const float beta = matmul ? 1.0f : float_attribute(n, "beta", 1.0f);
        std::vector<float> bv, cv;
        if (!onnx_tensor_floats(*b, bv) || (c && !onnx_tensor_floats(*c, cv))) return fail("Gemm weights unreadable");
        const size_t K = a->dims[1];
        const size_t M = static_cast<size_t>(trans_b ? b->dims[0] : b->dims[1]);
        if (static_cast<size_t>(trans_b ? b->dims[1] : b->dims[0]) != K || M == 0) return fail(n.op_type + " shapes do not match");
        std::vector<float> filter(M * K);  // [M, K], what XNNPACK takes without its transpose flag
        for (size_t m = 0; m < M; ++m)
            for (size_t k = 0; k < K; ++k) filter[m * K + k] = alpha * (trans_b ? bv[m * K + k] : bv[k * M + m]);
        uint32_t filter_id, bias_id = XNN_INVALID_VALUE_ID;
        if (!constant(std::move(filter), {M, K}, filter_id)) return fail("XNNPACK refused Gemm weights");
        if (c) {
            if (cv.size() == 1) cv.assign(M, cv[0]);
            if (cv.size() != M) return fail("Gemm bias other than one per output");
            for (float& v : cv) v *= beta;
            if (!constant(std::move(cv), {M}, bias_id)) return fail("XNNPACK refused Gemm bias");
        }
        Value y;
        if (!define(index, {a->dims[0], M}, false, y)) return false;
        const Range r = range_of(index);
        return xnn_define_fully_connected(sg_, r.lo, r.hi, a->id, filter_id, bias_id, y.id, 0) == xnn_status_success ||
               fail("XNNPACK refused a " + n.op_type);
    }

    bool softmax(size_t index) {
        const ONNX_NODE& n = g_.nodes[index];
        const Value* x = n.inputs.empty() ? nullptr : value(n.inputs[0]);
        if (!x || x->nhwc) return fail("Softmax of a 4-D value");
        const int64_t rank = int64_t(x->dims.size());
        int64_t axis = int_attribute(n, "axis", g_.opset >= 13 ? -1 : 1);
        if (axis < 0) axis += rank;
        // Before opset 13 Softmax flattens at `axis`; both readings agree when it is the last one.
        if (axis != rank - 1) return fail("Softmax over an axis other than the last");
        Value y;
        if (!define(index, x->dims, false, y)) return false;
        return xnn_define_softmax(sg_, x->id, y.id, 0) == xnn_status_success || fail("XNNPACK refused a Softmax");
    }

    // XNNPACK has no reduction node here: the L2 norm over the last axis is
    // square, a fully connected layer of ones, square root.
    bool reduce_l2(size_t index) {
        const ONNX_NODE& n = g_.nodes[index];
        const Value* x = n.inputs.size() == 1 ? value(n.inputs[0]) : nullptr;
        if (!x || x->nhwc) return fail("ReduceL2 of a 4-D value or with axes as input");
        const int64_t rank = int64_t(x->dims.size());
        const ONNX_ATTRIBUTE* axes = n.attribute("axes");
        if (!axes || axes->ints.size() != 1 || (axes->ints[0] != rank - 1 && axes->ints[0] != -1))
            return fail("ReduceL2 over an axis other than the last");
        if (int_attribute(n, "keepdims", 1) != 1) return fail("ReduceL2 without keepdims");
        const size_t K = x->dims.back();
        Dims reduced = x->dims;
        reduced.back() = 1;
        uint32_t squared, ones, sum;
        if (!internal(x->dims, squared) || !constant(std::vector<float>(K, 1.0f), {1, K}, ones) ||
            !internal(reduced, sum))
            return fail("XNNPACK refused ReduceL2 values");
        Value y;
        if (!define(index, reduced, false, y)) return false;
        const bool ok = xnn_define_square(sg_, x->id, squared, 0) == xnn_status_success &&
                        xnn_define_fully_connected(sg_, -kInf, kInf, squared, ones, XNN_INVALID_VALUE_ID, sum, 0) ==
                            xnn_status_success &&
                        xnn_define_square_root(sg_, sum, y.id, 0) == xnn_status_success;
        return ok || fail("XNNPACK refused a ReduceL2");
    }

    const ONNX_GRAPH& g_;
    xnn_subgraph_t sg_;
    XnnNetwork::State& st_;
    std::string& why_;
    std::unordered_map<std::string, const ONNX_TENSOR*> weights_;
    std::unordered_map<std::string, Value> values_;
    std::unordered_map<std::string, uint32_t> output_ids_;
    std::unordered_map<size_t, std::pair<Range, std::string>> fused_;
    std::unordered_map<size_t, bool> fused_away_;
};

// Each pool thread, the caller's included, takes one item and holds it until
// every thread has one, so no thread can take two; each notes its clock. The
// wait is bounded in case the pool ever hands out items differently.
struct ClockGathering {
    pthread_t caller = pthread_self();
    size_t threads = 0;
    std::mutex mutex;
    std::vector<clockid_t> clocks;
    std::atomic<size_t> arrived{0};

    static void take(void* context, size_t) {
        auto& g = *static_cast<ClockGathering*>(context);
        clockid_t clock;
        if (!pthread_equal(pthread_self(), g.caller) && pthread_getcpuclockid(pthread_self(), &clock) == 0) {
            std::lock_guard<std::mutex> lock(g.mutex);
            g.clocks.push_back(clock);
        }
        g.arrived.fetch_add(1);
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (g.arrived.load() < g.threads && std::chrono::steady_clock::now() < give_up) std::this_thread::yield();
    }
};

std::vector<clockid_t> pool_worker_clocks(pthreadpool_t pool) {
    ClockGathering gathering;
    gathering.threads = pthreadpool_get_threads_count(pool);
    pthreadpool_parallelize_1d(pool, &ClockGathering::take, &gathering, gathering.threads, PTHREADPOOL_FLAG_YIELD_WORKERS);
    if (gathering.clocks.size() + 1 != gathering.threads) return {};
    return gathering.clocks;
}

bool xnnpack_ready() {
    static const bool ready = xnn_initialize(nullptr) == xnn_status_success;
    return ready;
}

}  // namespace

XnnNetwork::XnnNetwork() : state_(std::make_unique<State>()) {}

XnnNetwork::~XnnNetwork() = default;

bool XnnNetwork::has_pool_plan() const { return state_->pooled != nullptr; }

bool XnnNetwork::make_pool_plan() {
    State& st = *state_;
    if (st.pooled) return true;
    if (threads_ < 2 || !st.subgraph) return false;
    st.pool = pthreadpool_create(static_cast<size_t>(threads_));
    // Idle workers sleep between forwards instead of spinning on the board's
    // few cores. Only between forwards: XNNPACK passes the yield to the pool
    // with the last operator alone, so between two layers of one forward a
    // worker without work still spins, which is why the thread count is chosen
    // by measurement (thread_choice.h).
    if (st.pool && xnn_create_runtime_v2(st.subgraph, st.pool, XNN_FLAG_YIELD_WORKERS, &st.pooled) == xnn_status_success &&
        xnn_setup_runtime(st.pooled, st.externals.size(), st.externals.data()) == xnn_status_success) {
        threads_ = static_cast<int>(pthreadpool_get_threads_count(st.pool));
        worker_clocks_ = pool_worker_clocks(st.pool);
        return true;
    }
    drop_pool_plan();
    return false;
}

void XnnNetwork::drop_pool_plan() {
    State& st = *state_;
    if (!st.alone) return;  // the only plan stays
    if (st.pooled) xnn_delete_runtime(st.pooled);
    if (st.pool) pthreadpool_destroy(st.pool);
    st.pooled = nullptr;
    st.pool = nullptr;
    worker_clocks_.clear();
}

std::unique_ptr<XnnNetwork> XnnNetwork::create(const ONNX_GRAPH& graph, const std::vector<int>& input_shape,
                                               int threads, bool pool_later, std::string& why) {
    if (!xnnpack_ready()) {
        why = "XNNPACK cannot start on this processor";
        return nullptr;
    }
    std::unique_ptr<XnnNetwork> net(new XnnNetwork());
    State& st = *net->state_;
    if (xnn_create_subgraph(static_cast<uint32_t>(graph.outputs.size() + 1), 0, &st.subgraph) != xnn_status_success) {
        why = "XNNPACK could not make a subgraph";
        return nullptr;
    }
    Importer importer(graph, st.subgraph, st, why);
    if (!importer.run(input_shape)) return nullptr;

    std::vector<xnn_external_value>& externals = st.externals;
    st.input.assign(element_count(st.input_nchw) + kExtraFloats, 0.0f);
    externals.push_back({0, st.input.data()});
    st.outputs.reserve(graph.outputs.size());
    for (size_t i = 0; i < graph.outputs.size(); ++i) {
        State::OutputBuffer out;
        out.id = static_cast<uint32_t>(i + 1);
        out.value = *importer.value(graph.outputs[i]);
        const size_t count = element_count(out.value.dims);
        out.raw.assign(count + kExtraFloats, 0.0f);
        if (out.value.nhwc) out.nchw.assign(count, 0.0f);
        st.outputs.push_back(std::move(out));
    }
    for (State::OutputBuffer& out : st.outputs) {
        externals.push_back({out.id, out.raw.data()});
        Output shown{graph.outputs[out.id - 1], {}, out.value.nhwc ? out.nchw.data() : out.raw.data()};
        for (size_t d : out.value.dims) shown.shape.push_back(static_cast<int>(d));
        net->outputs_.push_back(std::move(shown));
    }

    // The buffers never move, so each plan binds them once for every later
    // forward. A pool of one would only add a hand-over: one thread runs on
    // the caller's.
    net->threads_ = std::max(1, threads);
    const bool pooled_only = net->threads_ > 1 && !pool_later;
    if (pooled_only ? !net->make_pool_plan()
                    : xnn_create_runtime_v2(st.subgraph, nullptr, 0, &st.alone) != xnn_status_success ||
                          xnn_setup_runtime(st.alone, externals.size(), externals.data()) != xnn_status_success) {
        why = "XNNPACK could not plan the graph";
        return nullptr;
    }
    return net;
}

bool XnnNetwork::run(const float* input, bool on_pool) {
    State& st = *state_;
    const size_t n = st.input_nchw[0], c = st.input_nchw[1], plane = st.input_nchw[2] * st.input_nchw[3];
    for (size_t b = 0; b < n; ++b) {
        const float* src = input + b * c * plane;
        float* dst = st.input.data() + b * c * plane;
        for (size_t ch = 0; ch < c; ++ch)
            for (size_t i = 0; i < plane; ++i) dst[i * c + ch] = src[ch * plane + i];
    }
    xnn_runtime_t runtime = (on_pool && st.pooled) || !st.alone ? st.pooled : st.alone;
    if (xnn_invoke_runtime(runtime) != xnn_status_success) return false;
    for (State::OutputBuffer& out : st.outputs) {
        if (!out.value.nhwc) continue;
        const size_t on = out.value.dims[0], oc = out.value.dims[1], op = out.value.dims[2] * out.value.dims[3];
        for (size_t b = 0; b < on; ++b)
            for (size_t ch = 0; ch < oc; ++ch)
                for (size_t i = 0; i < op; ++i)
                    out.nchw[(b * oc + ch) * op + i] = out.raw[(b * op + i) * oc + ch];
    }
    return true;
}

std::string XnnNetwork::kernel_isa() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return "x86 AVX-512F";
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return "x86 AVX2+FMA3";
    if (__builtin_cpu_supports("avx")) return "x86 AVX";
    return "x86 SSE";
#elif defined(__aarch64__)
    return "AArch64 NEON with FMA";
#elif defined(__arm__)
    const unsigned long hwcap = getauxval(AT_HWCAP);
    if (!(hwcap & HWCAP_ARM_NEON)) return "ARM without NEON (XNNPACK does not start)";
    return (hwcap & HWCAP_ARM_VFPv4) ? "ARMv7 NEON with FMA (VFPv4)" : "ARMv7 NEON";
#else
    return "scalar";
#endif
}
