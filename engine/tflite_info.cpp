#include "engine/tflite_info.h"

#include <algorithm>
#include <cstring>

namespace {

// Field numbers of the schema that matter here (each table's fields in order).
namespace fields {
constexpr int kModelOperatorCodes = 1, kModelSubgraphs = 2, kModelBuffers = 4;
constexpr int kCodeDeprecated = 0, kCodeBuiltin = 3;
constexpr int kSubgraphTensors = 0, kSubgraphInputs = 1, kSubgraphOutputs = 2, kSubgraphOperators = 3;
constexpr int kTensorShape = 0, kTensorType = 1, kTensorBuffer = 2, kTensorName = 3, kTensorQuant = 4;
constexpr int kQuantScale = 2, kQuantZeroPoint = 3, kQuantDimension = 6;
constexpr int kOpCode = 0, kOpInputs = 1, kOpOutputs = 2, kOpOptions = 4;
constexpr int kBufferData = 0;
}  // namespace fields

struct Table {
    size_t pos = 0;
    size_t vtable = 0;
    uint16_t vtable_size = 0;
    uint16_t table_size = 0;
    bool present = false;
};

struct Span {
    size_t start = 0;
    size_t count = 0;
};

// A bounds-checked walk over a flatbuffer: a read outside the bytes or a
// malformed table makes `ok` false and gives an absent or zero result.
class Flatbuffer {
public:
    Flatbuffer(const uint8_t* data, size_t size) : d_(data), n_(size) {}

    bool ok() const { return ok_; }
    const uint8_t* at(size_t pos) const { return d_ + pos; }

    template <typename T>
    T read(size_t pos) {
        T value{};
        if (pos > n_ || sizeof(T) > n_ - pos) return fail(), value;
        std::memcpy(&value, d_ + pos, sizeof value);
        return value;
    }

    Table table_at(size_t pos) {
        Table t;
        const int64_t vtable = int64_t(pos) - read<int32_t>(pos);
        if (!ok_ || vtable < 0 || size_t(vtable) > n_) return fail(), t;
        t.vtable = size_t(vtable);
        t.vtable_size = read<uint16_t>(t.vtable);
        t.table_size = read<uint16_t>(t.vtable + 2);
        if (!ok_ || t.vtable_size < 4 || t.vtable_size % 2 || t.vtable + t.vtable_size > n_ || t.table_size > n_ - pos)
            return fail(), t;
        t.pos = pos;
        t.present = true;
        return t;
    }

    // Where field `index` of a table is, or 0 when the table lacks it.
    size_t field(const Table& t, int index) {
        const size_t entry = 4 + 2 * size_t(index);
        if (!t.present || entry + 2 > t.vtable_size) return 0;
        const uint16_t offset = read<uint16_t>(t.vtable + entry);
        if (offset == 0) return 0;
        if (offset >= t.table_size) return fail(), 0;
        return t.pos + offset;
    }

    template <typename T>
    T scalar(const Table& t, int index, T fallback) {
        const size_t pos = field(t, index);
        return pos ? read<T>(pos) : fallback;
    }

    Table table(const Table& t, int index) {
        const size_t pos = indirect(field(t, index));
        return pos ? table_at(pos) : Table();
    }

    // A vector field: where its elements start and how many; absent is empty.
    Span vector(const Table& t, int index, size_t element_size, size_t cap) {
        Span span;
        const size_t pos = indirect(field(t, index));
        if (!pos) return span;
        const uint32_t count = read<uint32_t>(pos);
        if (!ok_ || count > cap || uint64_t(count) * element_size > uint64_t(n_ - pos - 4)) return fail(), span;
        span.start = pos + 4;
        span.count = count;
        return span;
    }

    Table element_table(const Span& span, size_t i) {
        const size_t pos = indirect(span.start + 4 * i);
        return pos ? table_at(pos) : (fail(), Table());
    }

    std::string string(const Table& t, int index) {
        const Span span = vector(t, index, 1, tflite_limits::kNameBytes);
        return std::string(reinterpret_cast<const char*>(d_ + span.start), span.count);
    }

    template <typename T, typename Out>
    bool values(const Span& span, std::vector<Out>& out) {
        out.clear();
        for (size_t i = 0; i < span.count && ok_; ++i) out.push_back(static_cast<Out>(read<T>(span.start + sizeof(T) * i)));
        return ok_;
    }

    void fail() { ok_ = false; }

private:
    // The target of the offset stored at `pos` (0 for an absent field).
    size_t indirect(size_t pos) {
        if (!pos) return 0;
        const uint32_t offset = read<uint32_t>(pos);
        if (!ok_ || offset == 0 || offset > n_ - pos) return fail(), 0;
        return pos + offset;
    }

    const uint8_t* d_;
    size_t n_;
    bool ok_ = true;
};

struct Buffer {
    const uint8_t* data = nullptr;
    size_t size = 0;
};

bool read_quantisation(Flatbuffer& fb, const Table& quant, TFLITE_TENSOR& tensor) {
    if (!quant.present) return true;
    const Span scale = fb.vector(quant, fields::kQuantScale, 4, tflite_limits::kQuantValues);
    const Span zero = fb.vector(quant, fields::kQuantZeroPoint, 8, tflite_limits::kQuantValues);
    if (!fb.values<float>(scale, tensor.scale) || !fb.values<int64_t>(zero, tensor.zero_point)) return false;
    tensor.quantized_dimension = fb.scalar<int32_t>(quant, fields::kQuantDimension, 0);
    if (tensor.scale.empty()) tensor.zero_point.clear();
    return tensor.zero_point.size() == tensor.scale.size() && tensor.quantized_dimension >= 0;
}

bool read_tensor(Flatbuffer& fb, const Table& t, const std::vector<Buffer>& buffers, TFLITE_TENSOR& tensor) {
    const Span shape = fb.vector(t, fields::kTensorShape, 4, tflite_limits::kDims);
    if (!fb.values<int32_t>(shape, tensor.shape)) return false;
    tensor.type = fb.scalar<int8_t>(t, fields::kTensorType, 0);
    tensor.name = fb.string(t, fields::kTensorName);
    const uint32_t buffer = fb.scalar<uint32_t>(t, fields::kTensorBuffer, 0);
    if (buffer >= buffers.size() && buffer != 0) return false;
    if (buffer < buffers.size()) {
        tensor.data = buffers[buffer].data;
        tensor.data_size = buffers[buffer].size;
    }
    return read_quantisation(fb, fb.table(t, fields::kTensorQuant), tensor) && fb.ok();
}

void read_options(Flatbuffer& fb, const Table& o, TFLITE_OP& op) {
    TFLITE_OPTIONS& options = op.options;
    if (op.code == tflite_ops::kAdd) {
        options.activation = fb.scalar<int8_t>(o, 0, 0);
        return;
    }
    if (op.code != tflite_ops::kConv2d && op.code != tflite_ops::kDepthwiseConv2d) return;
    const bool depthwise = op.code == tflite_ops::kDepthwiseConv2d;
    options.same_padding = fb.scalar<int8_t>(o, 0, 0) == 0;
    options.stride_w = fb.scalar<int32_t>(o, 1, 1);
    options.stride_h = fb.scalar<int32_t>(o, 2, 1);
    if (depthwise) options.depth_multiplier = fb.scalar<int32_t>(o, 3, 1);
    options.activation = fb.scalar<int8_t>(o, depthwise ? 4 : 3, 0);
    options.dilation_w = fb.scalar<int32_t>(o, depthwise ? 5 : 4, 1);
    options.dilation_h = fb.scalar<int32_t>(o, depthwise ? 6 : 5, 1);
}

bool valid_indices(const std::vector<int32_t>& indices, size_t tensors, bool optional) {
    return std::all_of(indices.begin(), indices.end(),
                       [&](int32_t i) { return (optional && i == -1) || (i >= 0 && size_t(i) < tensors); });
}

bool read_op(Flatbuffer& fb, const Table& t, const std::vector<int>& codes, size_t tensors, TFLITE_OP& op) {
    const uint32_t code = fb.scalar<uint32_t>(t, fields::kOpCode, 0);
    if (code >= codes.size()) return false;
    op.code = codes[code];
    const Span inputs = fb.vector(t, fields::kOpInputs, 4, tflite_limits::kOpInputs);
    const Span outputs = fb.vector(t, fields::kOpOutputs, 4, tflite_limits::kOpInputs);
    if (!fb.values<int32_t>(inputs, op.inputs) || !fb.values<int32_t>(outputs, op.outputs)) return false;
    read_options(fb, fb.table(t, fields::kOpOptions), op);
    return fb.ok() && valid_indices(op.inputs, tensors, true) && valid_indices(op.outputs, tensors, false);
}

bool read_codes_and_buffers(Flatbuffer& fb, const Table& root, std::vector<int>& codes, std::vector<Buffer>& buffers) {
    const Span code_tables = fb.vector(root, fields::kModelOperatorCodes, 4, tflite_limits::kOperatorCodes);
    for (size_t i = 0; i < code_tables.count && fb.ok(); ++i) {
        const Table c = fb.element_table(code_tables, i);
        codes.push_back(std::max<int>(fb.scalar<int8_t>(c, fields::kCodeDeprecated, 0),
                                      fb.scalar<int32_t>(c, fields::kCodeBuiltin, 0)));
    }
    const Span buffer_tables = fb.vector(root, fields::kModelBuffers, 4, tflite_limits::kBuffers);
    for (size_t i = 0; i < buffer_tables.count && fb.ok(); ++i) {
        const Span data = fb.vector(fb.element_table(buffer_tables, i), fields::kBufferData, 1, SIZE_MAX);
        buffers.push_back({data.count ? fb.at(data.start) : nullptr, data.count});
    }
    return fb.ok();
}

bool read_subgraph(Flatbuffer& fb, const Table& sg, const std::vector<int>& codes, const std::vector<Buffer>& buffers,
                   TFLITE_MODEL& model) {
    const Span tensors = fb.vector(sg, fields::kSubgraphTensors, 4, tflite_limits::kTensors);
    model.tensors.resize(tensors.count);
    for (size_t i = 0; i < tensors.count; ++i)
        if (!read_tensor(fb, fb.element_table(tensors, i), buffers, model.tensors[i])) return false;
    const Span ops = fb.vector(sg, fields::kSubgraphOperators, 4, tflite_limits::kOps);
    model.ops.resize(ops.count);
    for (size_t i = 0; i < ops.count; ++i)
        if (!read_op(fb, fb.element_table(ops, i), codes, tensors.count, model.ops[i])) return false;
    const Span inputs = fb.vector(sg, fields::kSubgraphInputs, 4, tflite_limits::kOpInputs);
    const Span outputs = fb.vector(sg, fields::kSubgraphOutputs, 4, tflite_limits::kOpInputs);
    return fb.values<int32_t>(inputs, model.inputs) && fb.values<int32_t>(outputs, model.outputs) &&
           valid_indices(model.inputs, tensors.count, false) && valid_indices(model.outputs, tensors.count, false);
}

}  // namespace

int64_t TFLITE_TENSOR::element_count() const {
    int64_t n = 1;
    for (int32_t d : shape) {
        if (d < 0) return -1;
        n *= d;
        if (n > tflite_limits::kTensorElements) return -1;
    }
    return n;
}

bool tflite_read_model(const void* data, size_t size, TFLITE_MODEL& model) {
    model = TFLITE_MODEL();
    const auto* bytes = static_cast<const uint8_t*>(data);
    // The file identifier "TFL3" follows the root offset.
    if (!bytes || size < 8 || std::memcmp(bytes + 4, "TFL3", 4) != 0) return false;
    Flatbuffer fb(bytes, size);
    const Table root = fb.table_at(fb.read<uint32_t>(0));
    std::vector<int> codes;
    std::vector<Buffer> buffers;
    if (!fb.ok() || !read_codes_and_buffers(fb, root, codes, buffers)) return false;
    const Span subgraphs = fb.vector(root, fields::kModelSubgraphs, 4, tflite_limits::kOps);
    if (subgraphs.count == 0) return false;
    const bool ok = read_subgraph(fb, fb.element_table(subgraphs, 0), codes, buffers, model) && fb.ok();
    if (!ok) model = TFLITE_MODEL();
    return ok;
}
