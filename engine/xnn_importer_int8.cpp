// The int8 plan's own nodes: the backbone's convolutions and additions in
// int8, and the conversions where a value crosses between int8 and float32.
#include "engine/xnn_importer.h"

namespace xnn_import {

namespace {

bool same_quant(const INT8_QUANT& a, const INT8_QUANT& b) {
    return a.scale == b.scale && a.zero_point == b.zero_point;
}

}  // namespace

bool Importer::conv_int8(size_t index, const ConvShape& s, const INT8_CONV& q) {
    if (!q.weights || q.weight_scales.size() != s.O || q.bias.size() != s.O || q.bias_scales.size() != s.O)
        return fail("int8 Conv weights do not match the model");
    uint32_t x;
    if (!int8_value(*s.x, g_.nodes[index].inputs[0], q.input, x)) return false;
    // The weights stay in the int8 source's bytes; the scales and the bias
    // are kept beside the float32 constants for as long as the runtime.
    st_.floats.push_back(q.weight_scales);
    const float* weight_scales = st_.floats.back().data();
    st_.floats.push_back(q.bias_scales);
    const float* bias_scales = st_.floats.back().data();
    st_.ints.push_back(q.bias);
    const Dims filter_dims = s.depthwise ? Dims{1, s.kh, s.kw, s.O} : Dims{s.O, s.kh, s.kw, s.Ig};
    const Dims bias_dims{s.O};
    uint32_t filter, bias;
    if (xnn_define_channelwise_quantized_tensor_value(sg_, xnn_datatype_qcint8, weight_scales, 4, s.depthwise ? 3 : 0,
                                                      filter_dims.data(), q.weights, XNN_INVALID_VALUE_ID, 0,
                                                      &filter) != xnn_status_success ||
        xnn_define_channelwise_quantized_tensor_value(sg_, xnn_datatype_qcint32, bias_scales, 1, 0, bias_dims.data(),
                                                      st_.ints.back().data(), XNN_INVALID_VALUE_ID, 0,
                                                      &bias) != xnn_status_success)
        return fail("XNNPACK refused int8 Conv weights");
    Value y;
    if (!define(index, {s.N, s.O, s.oh, s.ow}, true, y, &q.output)) return false;
    return define_conv(index, s, x, filter, bias, y.id);
}

bool Importer::add_int8(size_t index, const INT8_QUANT& out) {
    const ONNX_NODE& n = g_.nodes[index];
    const Value* a = n.inputs.size() == 2 ? value(n.inputs[0]) : nullptr;
    const Value* b = n.inputs.size() == 2 ? value(n.inputs[1]) : nullptr;
    if (!a || !b || !a->int8 || !b->int8 || !a->nhwc || a->dims != b->dims)
        return fail("an int8 Add of other than two int8 pictures of one shape");
    Value y;
    if (!define(index, a->dims, true, y, &out)) return false;
    const Range r = range_of(index);
    return xnn_define_add2(sg_, r.lo, r.hi, a->id, b->id, y.id, 0) == xnn_status_success ||
           fail("XNNPACK refused an int8 Add");
}

const Value* Importer::float_value(const std::string& name) {
    const Value* v = value(name);
    if (!v || !v->int8) return v;
    const std::string key = name + "\nfloat32";
    if (const auto done = crossed_.find(key); done != crossed_.end()) return &done->second;
    Value f;
    f.dims = v->dims;
    f.nhwc = v->nhwc;
    if (!internal(xnn_dims(f), f.id) || xnn_define_convert(sg_, v->id, f.id, 0) != xnn_status_success) {
        fail("XNNPACK refused to convert " + name + " to float32");
        return nullptr;
    }
    return &(crossed_[key] = f);
}

bool Importer::int8_value(const Value& x, const std::string& name, const INT8_QUANT& quant, uint32_t& id) {
    if (x.int8 && !same_quant(x.quant, quant)) return fail("value " + name + " reaches int8 nodes quantised two ways");
    if (x.int8) return id = x.id, true;
    const std::string key = name + "\nint8";
    auto done = crossed_.find(key);
    if (done == crossed_.end()) {
        Value q = x;
        q.int8 = true;
        q.quant = quant;
        const Dims xdims = xnn_dims(q);
        if (xnn_define_quantized_tensor_value(sg_, xnn_datatype_qint8, quant.zero_point, quant.scale, xdims.size(),
                                              xdims.data(), nullptr, XNN_INVALID_VALUE_ID, 0,
                                              &q.id) != xnn_status_success ||
            xnn_define_convert(sg_, x.id, q.id, 0) != xnn_status_success)
            return fail("XNNPACK refused to convert " + name + " to int8");
        done = crossed_.emplace(key, q).first;
    }
    if (!same_quant(done->second.quant, quant)) return fail("value " + name + " reaches int8 nodes quantised two ways");
    id = done->second.id;
    return true;
}

}  // namespace xnn_import
