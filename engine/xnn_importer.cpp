// The importer's walk over the graph and its float32 plan; the int8 plan's
// nodes are in xnn_importer_int8.cpp.
#include "engine/xnn_importer.h"

#include <algorithm>

namespace xnn_import {

namespace {

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

}  // namespace

Dims xnn_dims(const Value& v) {
    if (!v.nhwc) return v.dims;
    return {v.dims[0], v.dims[2], v.dims[3], v.dims[1]};
}

size_t element_count(const Dims& dims) {
    size_t n = 1;
    for (size_t d : dims) n *= d;
    return n;
}

bool Importer::run(const std::vector<int>& input_shape) {
    for (const ONNX_TENSOR& t : g_.initializers) weights_[t.name] = &t;
    for (size_t i = 0; i < g_.outputs.size(); ++i) output_ids_[g_.outputs[i]] = static_cast<uint32_t>(i + 1);
    if (!define_input(input_shape)) return false;
    plan_fused_ranges();
    for (size_t i = 0; i < g_.nodes.size(); ++i) {
        if (fused_away_.count(i)) continue;
        if (!import(i)) return false;
    }
    for (const std::string& name : g_.outputs)
        if (!values_.count(name)) return fail("output " + name + " is not computed by any node");
    return true;
}

bool Importer::define_input(const std::vector<int>& input_shape) {
    if (g_.inputs.size() != 1) return fail("the model has " + std::to_string(g_.inputs.size()) + " inputs");
    if (input_shape.size() != 4) return fail("the input is not 4-D");
    Dims in;
    for (int d : input_shape) {
        if (d <= 0) return fail("the input has an open dimension");
        in.push_back(static_cast<size_t>(d));
    }
    if (element_count(in) > kMaxActivation) return fail("the input is too large");
    Value input;
    input.id = 0;
    input.dims = in;
    input.nhwc = true;
    const Dims xdims = xnn_dims(input);
    if (xnn_define_tensor_value(sg_, xnn_datatype_fp32, xdims.size(), xdims.data(), nullptr, 0,
                                XNN_VALUE_FLAG_EXTERNAL_INPUT, &input.id) != xnn_status_success)
        return fail("XNNPACK refused the input");
    if (output_ids_.count(g_.inputs[0].name)) return fail("the input is also an output");
    values_[g_.inputs[0].name] = input;
    input_nchw_ = in;
    return true;
}

const Value* Importer::value(const std::string& name) const {
    const auto it = values_.find(name);
    return it == values_.end() ? nullptr : &it->second;
}

bool Importer::fail(const std::string& reason) {
    why_ = reason;
    return false;
}

const ONNX_TENSOR* Importer::weight(const std::string& name) const {
    const auto it = weights_.find(name);
    return it == weights_.end() ? nullptr : it->second;
}

// A Clip or Relu whose input is a Conv, Gemm or Add output read by nothing
// else becomes that node's output range; outputs must be flagged when they
// are defined, so the clipped name is what the producer defines.
void Importer::plan_fused_ranges() {
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

bool Importer::clip_range(const ONNX_NODE& n, Range& range) const {
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
bool Importer::define(size_t node, const Dims& dims, bool nhwc, Value& out, const INT8_QUANT* quant) {
    std::string name = g_.nodes[node].outputs.empty() ? std::string() : g_.nodes[node].outputs[0];
    if (const auto f = fused_.find(node); f != fused_.end()) name = f->second.second;
    return define_named(name, dims, nhwc, out, quant);
}

bool Importer::define_named(const std::string& name, const Dims& dims, bool nhwc, Value& out, const INT8_QUANT* quant) {
    if (name.empty()) return fail("a node without an output");
    if (values_.count(name) || weights_.count(name)) return fail("value " + name + " is defined twice");
    for (size_t d : dims)
        if (d == 0) return fail("value " + name + " has an empty dimension");
    if (element_count(dims) > kMaxActivation) return fail("value " + name + " is too large");
    out.dims = dims;
    out.nhwc = nhwc;
    out.int8 = quant != nullptr;
    if (quant) out.quant = *quant;
    const Dims xdims = xnn_dims(out);
    const auto external = output_ids_.find(name);
    const uint32_t id = external == output_ids_.end() ? XNN_INVALID_VALUE_ID : external->second;
    const uint32_t flags = external == output_ids_.end() ? 0 : XNN_VALUE_FLAG_EXTERNAL_OUTPUT;
    if (quant && flags) return fail("output " + name + " would be int8");
    const xnn_status s =
        quant ? xnn_define_quantized_tensor_value(sg_, xnn_datatype_qint8, quant->zero_point, quant->scale,
                                                  xdims.size(), xdims.data(), nullptr, id, flags, &out.id)
              : xnn_define_tensor_value(sg_, xnn_datatype_fp32, xdims.size(), xdims.data(), nullptr, id, flags, &out.id);
    if (s != xnn_status_success) return fail("XNNPACK refused value " + name);
    values_[name] = out;
    return true;
}

bool Importer::internal(const Dims& xdims, uint32_t& id) {
    return xnn_define_tensor_value(sg_, xnn_datatype_fp32, xdims.size(), xdims.data(), nullptr, XNN_INVALID_VALUE_ID,
                                   0, &id) == xnn_status_success;
}

bool Importer::constant(std::vector<float> data, const Dims& xdims, uint32_t& id) {
    st_.floats.push_back(std::move(data));
    return xnn_define_tensor_value(sg_, xnn_datatype_fp32, xdims.size(), xdims.data(), st_.floats.back().data(),
                                   XNN_INVALID_VALUE_ID, 0, &id) == xnn_status_success;
}

Range Importer::range_of(size_t node) const {
    const auto f = fused_.find(node);
    return f == fused_.end() ? Range() : f->second.first;
}

int64_t Importer::int_attribute(const ONNX_NODE& n, const char* name, int64_t fallback) const {
    const ONNX_ATTRIBUTE* a = n.attribute(name);
    return a && a->has_int ? a->i : fallback;
}

float Importer::float_attribute(const ONNX_NODE& n, const char* name, float fallback) const {
    const ONNX_ATTRIBUTE* a = n.attribute(name);
    return a && a->has_float ? a->f : fallback;
}

bool Importer::pair_attribute(const ONNX_NODE& n, const char* name, size_t count, std::vector<int64_t>& out) const {
    const ONNX_ATTRIBUTE* a = n.attribute(name);
    if (!a) return true;
    if (a->ints.size() != count) return false;
    for (int64_t v : a->ints)
        if (v < 0 || v > 1024) return false;
    out = a->ints;
    return true;
}

bool Importer::import(size_t index) {
    const ONNX_NODE& n = g_.nodes[index];
    const std::string& op = n.op_type;
    if (!n.domain.empty() && n.domain != "ai.onnx") return fail("operation " + n.domain + "." + op);
    if (n.outputs.size() != 1) return fail(op + " with " + std::to_string(n.outputs.size()) + " outputs");
    if (op == "Conv") return conv(index);
    if (op == "Add" && int8_ && int8_->adds.count(index)) return add_int8(index, int8_->adds.at(index));
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

bool Importer::conv(size_t index) {
    ConvShape s;
    if (!conv_shape(index, s)) return false;
    if (int8_) {
        const auto q = int8_->convs.find(index);
        if (q == int8_->convs.end()) return fail("a Conv the int8 source does not cover");
        return conv_int8(index, s, q->second);
    }
    return conv_fp32(index, s);
}

bool Importer::conv_shape(size_t index, ConvShape& s) {
    const ONNX_NODE& n = g_.nodes[index];
    if (n.inputs.size() < 2) return fail("Conv without weights");
    s.x = value(n.inputs[0]);
    const ONNX_TENSOR* w = weight(n.inputs[1]);
    const bool has_bias = n.inputs.size() > 2 && !n.inputs[2].empty();
    const ONNX_TENSOR* b = has_bias ? weight(n.inputs[2]) : nullptr;
    if (!s.x || !s.x->nhwc || !w || w->dims.size() != 4 || (has_bias && !b))
        return fail("Conv on something other than a 4-D value with constant weights");
    if (const ONNX_ATTRIBUTE* a = n.attribute("auto_pad"); a && a->s != "NOTSET" && !a->s.empty())
        return fail("Conv with auto_pad " + a->s);
    s.O = size_t(w->dims[0]), s.Ig = size_t(w->dims[1]), s.kh = size_t(w->dims[2]), s.kw = size_t(w->dims[3]);
    s.N = s.x->dims[0];
    const size_t C = s.x->dims[1], H = s.x->dims[2], W = s.x->dims[3];
    const int64_t group = int_attribute(n, "group", 1);
    std::vector<int64_t> strides{1, 1}, dilations{1, 1}, pads{0, 0, 0, 0}, kernel{int64_t(s.kh), int64_t(s.kw)};
    if (!pair_attribute(n, "strides", 2, strides) || !pair_attribute(n, "dilations", 2, dilations) ||
        !pair_attribute(n, "pads", 4, pads) || !pair_attribute(n, "kernel_shape", 2, kernel))
        return fail("Conv attributes out of range");
    if (group < 1 || C % group || s.O % group || s.Ig * group != C || s.O == 0 || kernel[0] != int64_t(s.kh) ||
        kernel[1] != int64_t(s.kw) || strides[0] < 1 || strides[1] < 1 || dilations[0] < 1 || dilations[1] < 1)
        return fail("Conv shapes do not match");
    if (b && b->element_count() != int64_t(s.O)) return fail("Conv bias does not match");
    s.group = size_t(group);
    s.stride_h = strides[0], s.stride_w = strides[1], s.dilation_h = dilations[0], s.dilation_w = dilations[1];
    s.top = pads[0], s.left = pads[1], s.bottom = pads[2], s.right = pads[3];  // ONNX's order
    const int64_t span_h = (int64_t(s.kh) - 1) * s.dilation_h + 1, span_w = (int64_t(s.kw) - 1) * s.dilation_w + 1;
    const int64_t oh = (int64_t(H) + s.top + s.bottom - span_h) / s.stride_h + 1;
    const int64_t ow = (int64_t(W) + s.left + s.right - span_w) / s.stride_w + 1;
    if (int64_t(H) + s.top + s.bottom < span_h || int64_t(W) + s.left + s.right < span_w || oh < 1 || ow < 1)
        return fail("Conv output would be empty");
    s.oh = size_t(oh), s.ow = size_t(ow);
    s.depthwise = s.group > 1 && s.Ig == 1 && s.group == C;
    return true;
}

bool Importer::conv_fp32(size_t index, const ConvShape& s) {
    const ONNX_NODE& n = g_.nodes[index];
    const ONNX_TENSOR* b = n.inputs.size() > 2 && !n.inputs[2].empty() ? weight(n.inputs[2]) : nullptr;
    std::vector<float> wv, bv;
    if (!onnx_tensor_floats(*weight(n.inputs[1]), wv) || (b && !onnx_tensor_floats(*b, bv)))
        return fail("Conv weights unreadable");
    const size_t O = s.O, Ig = s.Ig, kh = s.kh, kw = s.kw;
    std::vector<float> filter(wv.size());
    if (s.depthwise) {  // [O,1,kh,kw] -> [1,kh,kw,O]
        for (size_t o = 0; o < O; ++o)
            for (size_t y = 0; y < kh; ++y)
                for (size_t x = 0; x < kw; ++x) filter[(y * kw + x) * O + o] = wv[(o * kh + y) * kw + x];
    } else {  // OIHW -> OHWI
        for (size_t o = 0; o < O; ++o)
            for (size_t i = 0; i < Ig; ++i)
                for (size_t y = 0; y < kh; ++y)
                    for (size_t x = 0; x < kw; ++x)
                        filter[((o * kh + y) * kw + x) * Ig + i] = wv[((o * Ig + i) * kh + y) * kw + x];
    }
    const Dims filter_dims = s.depthwise ? Dims{1, kh, kw, O} : Dims{O, kh, kw, Ig};
    uint32_t filter_id, bias_id = XNN_INVALID_VALUE_ID;
    if (!constant(std::move(filter), filter_dims, filter_id) || (b && !constant(std::move(bv), {O}, bias_id)))
        return fail("XNNPACK refused Conv weights");
    Value y;
    if (!define(index, {s.N, O, s.oh, s.ow}, true, y)) return false;
    return define_conv(index, s, float_value(n.inputs[0])->id, filter_id, bias_id, y.id);
}

bool Importer::define_conv(size_t index, const ConvShape& s, uint32_t x, uint32_t filter, uint32_t bias, uint32_t y) {
    const Range r = range_of(index);
    xnn_status status;
    // XNNPACK's padding order: top, right, bottom, left.
    if (s.depthwise)
        status = xnn_define_depthwise_convolution_2d(sg_, s.top, s.right, s.bottom, s.left, s.kh, s.kw, s.stride_h,
                                                     s.stride_w, s.dilation_h, s.dilation_w, s.O / s.group, s.group,
                                                     r.lo, r.hi, x, filter, bias, y, 0);
    else
        status = xnn_define_convolution_2d(sg_, s.top, s.right, s.bottom, s.left, s.kh, s.kw, s.stride_h, s.stride_w,
                                           s.dilation_h, s.dilation_w, s.group, s.Ig, s.O / s.group, r.lo, r.hi, x,
                                           filter, bias, y, 0);
    return status == xnn_status_success || fail("XNNPACK refused a Conv");
}

// An operand of an elementwise node: a value, or a constant shaped so that
// XNNPACK's broadcasting against the other (NHWC) operand means the same
// as ONNX's against NCHW.
bool Importer::operand(const std::string& name, const Value* other, uint32_t& id, Dims& onnx_dims, bool& nhwc) {
    if (const Value* v = float_value(name)) {
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

bool Importer::binary(size_t index, BinaryDefine define_node) {
    const ONNX_NODE& n = g_.nodes[index];
    if (n.inputs.size() != 2) return fail(n.op_type + " without two inputs");
    const Value* va = float_value(n.inputs[0]);
    const Value* vb = float_value(n.inputs[1]);
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
    return define_node(sg_, r.lo, r.hi, ia, ib, y.id, 0) == xnn_status_success || fail("XNNPACK refused a " + n.op_type);
}

bool Importer::clamp(size_t index) {
    const ONNX_NODE& n = g_.nodes[index];
    const Value* x = n.inputs.empty() ? nullptr : float_value(n.inputs[0]);
    Range r;
    if (!x || !clip_range(n, r)) return fail(n.op_type + " with unsupported bounds");
    Value y;
    if (!define(index, x->dims, x->nhwc, y)) return false;
    return xnn_define_clamp(sg_, r.lo, r.hi, x->id, y.id, 0) == xnn_status_success ||
           fail("XNNPACK refused a " + n.op_type);
}

bool Importer::global_average_pool(size_t index) {
    const ONNX_NODE& n = g_.nodes[index];
    const Value* x = n.inputs.empty() ? nullptr : float_value(n.inputs[0]);
    if (!x || !x->nhwc) return fail("GlobalAveragePool of a value that is not 4-D");
    Value y;
    if (!define(index, {x->dims[0], x->dims[1], 1, 1}, true, y)) return false;
    return xnn_define_global_average_pooling_2d(sg_, -kInf, kInf, x->id, y.id, 0) == xnn_status_success ||
           fail("XNNPACK refused a GlobalAveragePool");
}

bool Importer::reshape(size_t index) {
    const ONNX_NODE& n = g_.nodes[index];
    const Value* x = n.inputs.empty() ? nullptr : float_value(n.inputs[0]);
    if (!x) return fail(n.op_type + " of a constant");
    Dims target;
    if (!reshape_target(n, *x, target)) return false;
    if (element_count(target) != element_count(x->dims)) return fail(n.op_type + " changes the element count");
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

// The shape a Flatten or Reshape asks for, with 0 (copy) and -1 (the rest) resolved.
bool Importer::reshape_target(const ONNX_NODE& n, const Value& x, Dims& target) {
    const size_t total = element_count(x.dims);
    if (n.op_type == "Flatten") {
        int64_t axis = int_attribute(n, "axis", 1);
        if (axis < 0) axis += int64_t(x.dims.size());
        if (axis < 0 || axis > int64_t(x.dims.size())) return fail("Flatten axis out of range");
        const size_t outer = element_count(Dims(x.dims.begin(), x.dims.begin() + axis));
        target = {outer, total / outer};
        return true;
    }
    std::vector<int64_t> shape;
    const ONNX_TENSOR* t = n.inputs.size() > 1 ? weight(n.inputs[1]) : nullptr;
    if (t && !onnx_tensor_ints(*t, shape)) return fail("Reshape shape unreadable");
    if (!t) {
        const ONNX_ATTRIBUTE* a = n.attribute("shape");
        if (!a) return fail("Reshape to a computed shape");
        shape = a->ints;
    }
    if (shape.empty() || shape.size() > onnx_limits::kDims) return fail("Reshape rank out of range");
    size_t known = 1;
    int open = -1;
    for (size_t i = 0; i < shape.size(); ++i) {
        int64_t d = shape[i];
        if (d == 0) {
            if (i >= x.dims.size()) return fail("Reshape copies a missing dimension");
            d = int64_t(x.dims[i]);
        }
        if (d == -1 && open >= 0) return fail("Reshape with two open dimensions");
        if (d == -1) open = int(i);
        if (d != -1 && (d < 1 || size_t(d) > kMaxActivation)) return fail("Reshape dimension out of range");
        target.push_back(d == -1 ? 1 : size_t(d));
        known *= d == -1 ? 1 : size_t(d);
        if (known > kMaxActivation) return fail("Reshape dimension out of range");
    }
    if (open >= 0 && total % known) return fail("Reshape does not divide");
    if (open >= 0) target[open] = total / known;
    return true;
}

bool Importer::gemm(size_t index) {
    const ONNX_NODE& n = g_.nodes[index];
    const bool matmul = n.op_type == "MatMul";
    const Value* a = n.inputs.empty() ? nullptr : float_value(n.inputs[0]);
    const ONNX_TENSOR* b = n.inputs.size() > 1 ? weight(n.inputs[1]) : nullptr;
    const bool has_c = !matmul && n.inputs.size() > 2 && !n.inputs[2].empty();
    const ONNX_TENSOR* c = has_c ? weight(n.inputs[2]) : nullptr;
    if (!a || a->nhwc || a->dims.size() != 2 || !b || b->dims.size() != 2 || (has_c && !c))
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

bool Importer::softmax(size_t index) {
    const ONNX_NODE& n = g_.nodes[index];
    const Value* x = n.inputs.empty() ? nullptr : float_value(n.inputs[0]);
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
bool Importer::reduce_l2(size_t index) {
    const ONNX_NODE& n = g_.nodes[index];
    const Value* x = n.inputs.size() == 1 ? float_value(n.inputs[0]) : nullptr;
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
    if (!internal(x->dims, squared) || !constant(std::vector<float>(K, 1.0f), {1, K}, ones) || !internal(reduced, sum))
        return fail("XNNPACK refused ReduceL2 values");
    Value y;
    if (!define(index, reduced, false, y)) return false;
    const bool ok =
        xnn_define_square(sg_, x->id, squared, 0) == xnn_status_success &&
        xnn_define_fully_connected(sg_, -kInf, kInf, squared, ones, XNN_INVALID_VALUE_ID, sum, 0) == xnn_status_success &&
        xnn_define_square_root(sg_, sum, y.id, 0) == xnn_status_success;
    return ok || fail("XNNPACK refused a ReduceL2");
}

}  // namespace xnn_import
