#include "engine/onnx_info.h"

#include <unordered_set>

namespace {

// Field numbers of onnx.proto that matter here.
constexpr uint32_t kModelGraph = 7;
constexpr uint32_t kGraphInitializer = 5;
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
    Message sub() const { return Message(sub_begin_, sub_end_); }
    std::string text() const { return std::string(reinterpret_cast<const char*>(sub_begin_), sub_end_ - sub_begin_); }

private:
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

bool read_value_info(Message message, ONNX_VALUE_INFO& info) {
    while (message.next()) {
        if (message.is(kValueInfoName, kBytes)) {
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
                        if (!dimension.ok()) return false;
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

bool read_graph(Message graph, ONNX_GRAPH_INFO& info) {
    std::unordered_set<std::string> weights;
    std::vector<ONNX_VALUE_INFO> declared;
    while (graph.next()) {
        if (graph.is(kGraphInitializer, kBytes)) {
            Message tensor = graph.sub();
            while (tensor.next())
                if (tensor.is(kTensorName, kBytes)) weights.insert(tensor.text());
            if (!tensor.ok()) return false;
        } else if (graph.is(kGraphInput, kBytes)) {
            ONNX_VALUE_INFO value;
            if (!read_value_info(graph.sub(), value)) return false;
            declared.push_back(std::move(value));
        } else if (graph.is(kGraphOutput, kBytes)) {
            ONNX_VALUE_INFO value;
            if (!read_value_info(graph.sub(), value)) return false;
            info.outputs.push_back(std::move(value.name));
        }
    }
    if (!graph.ok()) return false;
    // Older exporters list every weight among the inputs as well.
    for (auto& value : declared)
        if (!weights.count(value.name)) info.inputs.push_back(std::move(value));
    return true;
}

}  // namespace

bool onnx_read_graph_info(const void* data, size_t size, ONNX_GRAPH_INFO& info) {
    info = ONNX_GRAPH_INFO();
    if (!data || size == 0) return false;
    const auto* begin = static_cast<const uint8_t*>(data);
    Message model(begin, begin + size);
    bool has_graph = false;
    while (model.next()) {
        if (model.is(kModelGraph, kBytes)) {
            if (!read_graph(model.sub(), info)) return false;
            has_graph = true;
        }
    }
    return model.ok() && has_graph;
}
