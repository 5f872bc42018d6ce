#include "engine/onnx_check.h"

#include <unordered_map>
#include <unordered_set>

namespace {

// Bytes per value of the numeric TensorProto data types; 0 for the others
// (text, complex), which no back end reads as weights.
size_t value_bytes(int32_t type) {
    switch (type) {
    case 2: case 3: case 9: return 1;    // uint8, int8, bool
    case 4: case 5: case 10: return 2;   // uint16, int16, float16
    case 1: case 6: case 12: return 4;   // float, int32, uint32
    case 7: case 11: case 13: return 8;  // int64, double, uint64
    default: return 0;
    }
}

// The number of varints in a packed run; -1 when the last one is cut off.
int64_t varint_count(const uint8_t* data, size_t size) {
    if (size > 0 && (data[size - 1] & 0x80)) return -1;
    int64_t count = 0;
    for (size_t i = 0; i < size; ++i)
        if (!(data[i] & 0x80)) ++count;
    return count;
}

bool values_fit_dims(const ONNX_TENSOR& t, int64_t count) {
    const size_t width = value_bytes(t.data_type);
    if (width == 0) return false;
    switch (t.field) {
    case onnx_fields::kRawData: return t.data_size == static_cast<size_t>(count) * width;
    case onnx_fields::kFloatData: return t.data_type == 1 && t.data_size == static_cast<size_t>(count) * 4;
    case onnx_fields::kInt64Data: return t.data_type == 7 && varint_count(t.data, t.data_size) == count;
    case onnx_fields::kInt32Data: return width <= 4 && t.data_type != 1 && varint_count(t.data, t.data_size) == count;
    default: return false;
    }
}

bool check_weight(const ONNX_TENSOR& t, std::string& why) {
    if (t.external) return why = "weight " + t.name + " keeps its values in another file", false;
    for (int64_t d : t.dims)
        if (d == 0) return why = "weight " + t.name + " has a zero dimension", false;
    const int64_t count = t.element_count();
    if (count < 0) return why = "weight " + t.name + " is too large", false;
    if (t.field == 0 || t.data_size == 0) return why = "weight " + t.name + " has no values", false;
    if (!values_fit_dims(t, count)) return why = "weight " + t.name + " does not hold the values its dims say", false;
    return true;
}

int64_t int_attribute(const ONNX_NODE& node, const char* name, int64_t absent) {
    const ONNX_ATTRIBUTE* a = node.attribute(name);
    return a && a->has_int ? a->i : absent;
}

class NodeCheck {
public:
    NodeCheck(const std::unordered_map<std::string, const ONNX_TENSOR*>& weights, std::string& why)
        : weights_(weights), why_(why) {}

    bool operator()(const ONNX_NODE& node) {
        if (!node.domain.empty() && node.domain != "ai.onnx") return true;
        if (node.op_type == "Conv") return conv(node);
        if (node.op_type == "Gemm") return gemm(node);
        return true;
    }

private:
    const ONNX_TENSOR* weight(const ONNX_NODE& node, size_t input) const {
        if (input >= node.inputs.size()) return nullptr;
        const auto it = weights_.find(node.inputs[input]);
        return it == weights_.end() ? nullptr : it->second;
    }

    bool fail(const ONNX_NODE& node, const std::string& what) {
        why_ = node.op_type + " " + (node.outputs.empty() ? std::string() : node.outputs[0]) + ": " + what;
        return false;
    }

    bool conv(const ONNX_NODE& node) {
        const int64_t group = int_attribute(node, "group", 1);
        if (group < 1) return fail(node, "group " + std::to_string(group));
        for (const char* list : {"strides", "dilations", "kernel_shape"})
            if (const ONNX_ATTRIBUTE* a = node.attribute(list))
                for (int64_t v : a->ints)
                    if (v < 1) return fail(node, std::string(list) + " below 1");
        if (const ONNX_ATTRIBUTE* pads = node.attribute("pads"))
            for (int64_t v : pads->ints)
                if (v < 0) return fail(node, "negative pads");
        const ONNX_TENSOR* w = weight(node, 1);
        if (!w) return true;
        if (w->dims.size() < 3) return fail(node, "weight of fewer than 3 dimensions");
        if (w->dims[0] % group != 0) return fail(node, "outputs not a multiple of the groups");
        const ONNX_TENSOR* bias = weight(node, 2);
        if (bias && bias->element_count() != w->dims[0]) return fail(node, "bias of another size than the outputs");
        return true;
    }

    bool gemm(const ONNX_NODE& node) {
        const ONNX_TENSOR* b = weight(node, 1);
        if (!b) return true;
        if (b->dims.size() != 2) return fail(node, "weight is not 2-D");
        const int64_t outputs = b->dims[int_attribute(node, "transB", 0) ? 0 : 1];
        const ONNX_TENSOR* c = weight(node, 2);
        if (c && c->element_count() != 1 && c->element_count() != outputs)
            return fail(node, "bias of another size than the outputs");
        return true;
    }

    const std::unordered_map<std::string, const ONNX_TENSOR*>& weights_;
    std::string& why_;
};

}  // namespace

bool onnx_check_graph(const ONNX_GRAPH& graph, std::string& why) {
    std::unordered_map<std::string, const ONNX_TENSOR*> weights;
    std::unordered_set<std::string> defined;
    for (const ONNX_TENSOR& t : graph.initializers) {
        if (!check_weight(t, why)) return false;
        weights[t.name] = &t;
        defined.insert(t.name);
    }
    for (const ONNX_VALUE_INFO& input : graph.inputs) {
        for (int64_t d : input.dims)
            if (d == 0) return why = "input " + input.name + " has a zero dimension", false;
        defined.insert(input.name);
    }
    NodeCheck check_node(weights, why);
    for (const ONNX_NODE& node : graph.nodes) {
        for (const std::string& name : node.inputs)
            if (!name.empty() && !defined.count(name))
                return why = node.op_type + " reads " + name + ", which nothing defines", false;
        if (!check_node(node)) return false;
        defined.insert(node.outputs.begin(), node.outputs.end());
    }
    for (const std::string& name : graph.outputs)
        if (!defined.count(name)) return why = "output " + name + " is not computed by any node", false;
    return true;
}
