#include "engine/onnx_info.h"

#include <cstring>
#include <unordered_set>

namespace {

// Field numbers of onnx.proto that matter here.
constexpr uint32_t kModelGraph = 7;
constexpr uint32_t kModelOpset = 8;
constexpr uint32_t kOpsetDomain = 1;
constexpr uint32_t kOpsetVersion = 2;
constexpr uint32_t kGraphNode = 1;
constexpr uint32_t kGraphInitializer = 5;
constexpr uint32_t kNodeInput = 1;
constexpr uint32_t kNodeOutput = 2;
constexpr uint32_t kNodeOpType = 4;
constexpr uint32_t kNodeAttribute = 5;
constexpr uint32_t kNodeDomain = 7;
constexpr uint32_t kAttrName = 1;
constexpr uint32_t kAttrFloat = 2;
constexpr uint32_t kAttrInt = 3;
constexpr uint32_t kAttrText = 4;
constexpr uint32_t kAttrFloats = 7;
constexpr uint32_t kAttrInts = 8;
constexpr uint32_t kTensorDims = 1;
constexpr uint32_t kTensorDataType = 2;
constexpr uint32_t kTensorFloatData = onnx_fields::kFloatData;
constexpr uint32_t kTensorInt32Data = onnx_fields::kInt32Data;
constexpr uint32_t kTensorInt64Data = onnx_fields::kInt64Data;
constexpr uint32_t kTensorRawData = onnx_fields::kRawData;
constexpr uint32_t kTensorDataLocation = 14;
constexpr uint32_t kGraphInput = 11;
constexpr uint32_t kGraphOutput = 12;
constexpr uint32_t kTensorName = 8;
constexpr uint32_t kValueInfoName = 1;
constexpr uint32_t kValueInfoType = 2;
constexpr uint32_t kTypeTensor = 1;
constexpr uint32_t kTensorTypeShape = 2;
constexpr uint32_t kShapeDim = 1;
constexpr uint32_t kDimValue = 1;

enum Wire : uint32_t { kVarint = 0, kFixed64 = 1, kBytes = 2, kFixed32 = 5 };

// A bounds-checked walk over one protobuf message; any malformation makes
// `ok` false and every later read a no-op.
class Message {
public:
    Message(const uint8_t* begin, const uint8_t* end) : p_(begin), end_(end) {}

    bool ok() const { return ok_; }

    // Advances to the next field; false at the end or on a malformed field.
    bool next() {
        if (!ok_ || p_ == end_) return false;
        const uint64_t key = varint();
        field_ = static_cast<uint32_t>(key >> 3);
        wire_ = static_cast<uint32_t>(key & 7);
        if (!ok_ || field_ == 0) return fail();
        value_ = 0;
        sub_begin_ = sub_end_ = nullptr;
        switch (wire_) {
        case kVarint:
            value_ = varint();
            break;
        case kFixed64:
            skip(8);
            break;
        case kFixed32:
            skip(4);
            break;
        case kBytes: {
            const uint64_t length = varint();
            if (!ok_ || length > static_cast<uint64_t>(end_ - p_)) return fail();
            sub_begin_ = p_;
            sub_end_ = p_ + length;
            p_ = sub_end_;
            break;
        }
        default:  // groups are long gone from onnx.proto
            return fail();
        }
        return ok_;
    }

    uint32_t field() const { return field_; }
    bool is(uint32_t field, uint32_t wire) const { return field_ == field && wire_ == wire; }
    uint64_t value() const { return value_; }
    uint32_t wire() const { return wire_; }
    size_t length() const { return static_cast<size_t>(sub_end_ - sub_begin_); }
    const uint8_t* bytes() const { return sub_begin_; }
    // The 4 bytes of a fixed32 field (its float), read without alignment.
    float fixed32() const {
        float f;
        std::memcpy(&f, p_ - 4, 4);
        return f;
    }
    Message sub() const { return Message(sub_begin_, sub_end_); }
    std::string text() const { return std::string(reinterpret_cast<const char*>(sub_begin_), sub_end_ - sub_begin_); }

    bool at_end() const { return p_ == end_; }
    uint64_t varint() {
        uint64_t result = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (p_ == end_) break;
            const uint8_t byte = *p_++;
            result |= static_cast<uint64_t>(byte & 0x7f) << shift;
            if (!(byte & 0x80)) return result;
        }
        fail();
        return 0;
    }
private:
    void skip(size_t n) {
        if (static_cast<size_t>(end_ - p_) < n) {
            fail();
            return;
        }
        p_ += n;
    }
    bool fail() {
        ok_ = false;
        return false;
    }

    const uint8_t* p_;
    const uint8_t* end_;
    bool ok_ = true;
    uint32_t field_ = 0;
    uint32_t wire_ = 0;
    uint64_t value_ = 0;
    const uint8_t* sub_begin_ = nullptr;
    const uint8_t* sub_end_ = nullptr;
};


bool text_ok(const Message& m) { return m.length() <= onnx_limits::kNameBytes; }

// A run of varints (a packed repeated integer field) appended to `out`.
bool read_varint_run(const uint8_t* begin, size_t length, std::vector<int64_t>& out, size_t cap) {
    Message run(begin, begin + length);
    while (!run.at_end()) {
        const uint64_t v = run.varint();
        if (!run.ok() || out.size() >= cap) return false;
        out.push_back(static_cast<int64_t>(v));
    }
    return true;
}

// A repeated integer field, packed or one value per field.
bool read_ints(const Message& m, std::vector<int64_t>& out, size_t cap) {
    if (m.wire() == kBytes) return read_varint_run(m.bytes(), m.length(), out, cap);
    if (m.wire() != kVarint || out.size() >= cap) return false;
    out.push_back(static_cast<int64_t>(m.value()));
    return true;
}

bool read_value_info(Message message, ONNX_VALUE_INFO& info) {
    while (message.next()) {
        if (message.is(kValueInfoName, kBytes)) {
            if (!text_ok(message)) return false;
            info.name = message.text();
        } else if (message.is(kValueInfoType, kBytes)) {
            Message type = message.sub();
            while (type.next()) {
                if (!type.is(kTypeTensor, kBytes)) continue;
                Message tensor = type.sub();
                while (tensor.next()) {
                    if (!tensor.is(kTensorTypeShape, kBytes)) continue;
                    Message shape = tensor.sub();
                    while (shape.next()) {
                        if (!shape.is(kShapeDim, kBytes)) continue;
                        int64_t dim = -1;
                        Message dimension = shape.sub();
                        while (dimension.next())
                            if (dimension.is(kDimValue, kVarint)) dim = static_cast<int64_t>(dimension.value());
                        if (!dimension.ok() || info.dims.size() >= onnx_limits::kDims) return false;
                        info.dims.push_back(dim > 0 ? dim : -1);
                    }
                    if (!shape.ok()) return false;
                }
                if (!tensor.ok()) return false;
            }
            if (!type.ok()) return false;
        }
    }
    return message.ok();
}

bool read_attribute(Message message, ONNX_ATTRIBUTE& attribute) {
    while (message.next()) {
        if (message.is(kAttrName, kBytes)) {
            if (!text_ok(message)) return false;
            attribute.name = message.text();
        } else if (message.is(kAttrFloat, kFixed32)) {
            attribute.f = message.fixed32();
            attribute.has_float = true;
        } else if (message.is(kAttrInt, kVarint)) {
            attribute.i = static_cast<int64_t>(message.value());
            attribute.has_int = true;
        } else if (message.is(kAttrText, kBytes)) {
            if (!text_ok(message)) return false;
            attribute.s = message.text();
            attribute.has_text = true;
        } else if (message.field() == kAttrInts) {
            if (!read_ints(message, attribute.ints, onnx_limits::kListValues)) return false;
        } else if (message.field() == kAttrFloats) {
            if (message.wire() == kFixed32) {
                attribute.floats.push_back(message.fixed32());
            } else if (message.wire() == kBytes && message.length() % 4 == 0) {
                for (size_t at = 0; at < message.length(); at += 4) {
                    float f;
                    std::memcpy(&f, message.bytes() + at, 4);
                    attribute.floats.push_back(f);
                }
            } else {
                return false;
            }
            if (attribute.floats.size() > onnx_limits::kListValues) return false;
        }
    }
    return message.ok();
}

bool read_node(Message message, ONNX_NODE& node) {
    while (message.next()) {
        if (message.is(kNodeInput, kBytes) || message.is(kNodeOutput, kBytes)) {
            auto& names = message.field() == kNodeInput ? node.inputs : node.outputs;
            if (!text_ok(message) || names.size() >= onnx_limits::kNodeInputs) return false;
            names.push_back(message.text());
        } else if (message.is(kNodeOpType, kBytes)) {
            if (!text_ok(message)) return false;
            node.op_type = message.text();
        } else if (message.is(kNodeDomain, kBytes)) {
            if (!text_ok(message)) return false;
            node.domain = message.text();
        } else if (message.is(kNodeAttribute, kBytes)) {
            if (node.attributes.size() >= onnx_limits::kAttributes) return false;
            node.attributes.emplace_back();
            if (!read_attribute(message.sub(), node.attributes.back())) return false;
        }
    }
    return message.ok();
}

bool read_tensor(Message message, ONNX_TENSOR& tensor) {
    while (message.next()) {
        const uint32_t field = message.field();
        if (field == kTensorDims) {
            if (!read_ints(message, tensor.dims, onnx_limits::kDims)) return false;
        } else if (message.is(kTensorDataType, kVarint)) {
            tensor.data_type = static_cast<int32_t>(message.value());
        } else if (message.is(kTensorName, kBytes)) {
            if (!text_ok(message)) return false;
            tensor.name = message.text();
        } else if (message.is(kTensorDataLocation, kVarint)) {
            tensor.external = message.value() != 0;
        } else if (field == kTensorRawData || field == kTensorFloatData || field == kTensorInt32Data ||
                   field == kTensorInt64Data) {
            // Only the packed form of the repeated fields is taken (what every
            // exporter writes); a second run of values is malformed here.
            if (message.wire() != kBytes || tensor.field != 0) return false;
            tensor.field = field;
            tensor.data = message.bytes();
            tensor.data_size = message.length();
        }
    }
    return message.ok();
}

bool read_graph(Message graph, ONNX_GRAPH& out) {
    std::unordered_set<std::string> weights;
    std::vector<ONNX_VALUE_INFO> declared;
    while (graph.next()) {
        if (graph.is(kGraphNode, kBytes)) {
            if (out.nodes.size() >= onnx_limits::kNodes) return false;
            out.nodes.emplace_back();
            if (!read_node(graph.sub(), out.nodes.back())) return false;
        } else if (graph.is(kGraphInitializer, kBytes)) {
            if (out.initializers.size() >= onnx_limits::kInitializers) return false;
            out.initializers.emplace_back();
            if (!read_tensor(graph.sub(), out.initializers.back())) return false;
            weights.insert(out.initializers.back().name);
        } else if (graph.is(kGraphInput, kBytes)) {
            if (declared.size() >= onnx_limits::kInitializers) return false;
            ONNX_VALUE_INFO value;
            if (!read_value_info(graph.sub(), value)) return false;
            declared.push_back(std::move(value));
        } else if (graph.is(kGraphOutput, kBytes)) {
            if (out.outputs.size() >= onnx_limits::kNodeInputs) return false;
            ONNX_VALUE_INFO value;
            if (!read_value_info(graph.sub(), value)) return false;
            out.outputs.push_back(std::move(value.name));
        }
    }
    if (!graph.ok()) return false;
    // Older exporters list every weight among the inputs as well.
    for (auto& value : declared)
        if (!weights.count(value.name)) out.inputs.push_back(std::move(value));
    return true;
}

bool read_opset(Message message, int64_t& version) {
    std::string domain;
    int64_t found = 0;
    while (message.next()) {
        if (message.is(kOpsetDomain, kBytes)) domain = message.text();
        if (message.is(kOpsetVersion, kVarint)) found = static_cast<int64_t>(message.value());
    }
    if (domain.empty() || domain == "ai.onnx") version = found;
    return message.ok();
}

}  // namespace

const ONNX_ATTRIBUTE* ONNX_NODE::attribute(const char* name) const {
    for (const ONNX_ATTRIBUTE& a : attributes)
        if (a.name == name) return &a;
    return nullptr;
}

int64_t ONNX_TENSOR::element_count() const {
    int64_t count = 1;
    for (int64_t d : dims) {
        if (d < 0 || d > onnx_limits::kTensorElements) return -1;
        count *= d;
        if (count > onnx_limits::kTensorElements) return -1;
    }
    return count;
}

bool onnx_read_graph(const void* data, size_t size, ONNX_GRAPH& graph) {
    graph = ONNX_GRAPH();
    if (!data || size == 0) return false;
    const auto* begin = static_cast<const uint8_t*>(data);
    Message model(begin, begin + size);
    bool has_graph = false;
    while (model.next()) {
        if (model.is(kModelGraph, kBytes)) {
            if (has_graph || !read_graph(model.sub(), graph)) return false;
            has_graph = true;
        } else if (model.is(kModelOpset, kBytes)) {
            if (!read_opset(model.sub(), graph.opset)) return false;
        }
    }
    return model.ok() && has_graph;
}

bool onnx_read_graph_info(const void* data, size_t size, ONNX_GRAPH_INFO& info) {
    info = ONNX_GRAPH_INFO();
    ONNX_GRAPH graph;
    if (!onnx_read_graph(data, size, graph)) return false;
    info.inputs = std::move(graph.inputs);
    info.outputs = std::move(graph.outputs);
    return true;
}

bool onnx_tensor_floats(const ONNX_TENSOR& tensor, std::vector<float>& values) {
    const int64_t count = tensor.element_count();
    if (count < 0 || tensor.external || tensor.data_type != 1) return false;
    if ((tensor.field != kTensorRawData && tensor.field != kTensorFloatData) ||
        tensor.data_size != static_cast<size_t>(count) * 4)
        return false;
    values.resize(static_cast<size_t>(count));
    if (count) std::memcpy(values.data(), tensor.data, tensor.data_size);  // little-endian on every target
    return true;
}

bool onnx_tensor_ints(const ONNX_TENSOR& tensor, std::vector<int64_t>& values) {
    const int64_t count = tensor.element_count();
    // Integer initializers are shapes and axes here: a handful of values.
    if (count < 0 || count > static_cast<int64_t>(onnx_limits::kListValues) || tensor.external ||
        (tensor.data_type != 6 && tensor.data_type != 7))
        return false;
    values.clear();
    if (tensor.field == kTensorRawData) {
        const size_t width = tensor.data_type == 7 ? 8 : 4;
        if (tensor.data_size != static_cast<size_t>(count) * width) return false;
        for (int64_t i = 0; i < count; ++i) {
            if (width == 8) {
                int64_t v;
                std::memcpy(&v, tensor.data + i * 8, 8);
                values.push_back(v);
            } else {
                int32_t v;
                std::memcpy(&v, tensor.data + i * 4, 4);
                values.push_back(v);
            }
        }
        return true;
    }
    if (tensor.field != kTensorInt64Data && tensor.field != kTensorInt32Data) return false;
    std::vector<int64_t> read;
    if (!read_varint_run(tensor.data, tensor.data_size, read, onnx_limits::kListValues)) return false;
    // int32_data holds each value as a sign-extended varint: read as 64 bits it is exact.
    if (read.size() != static_cast<size_t>(count)) return false;
    values = std::move(read);
    return true;
}
