#pragma once
// What the runtime layer reads from an ONNX model, straight from its protobuf
// bytes: the declared inputs (with their shapes), the output names, and for the
// XNNPACK importer the nodes and the initializers. Only the fields below are
// looked at; everything is bounds-checked and capped (onnx_limits), so a
// corrupt or hostile file gives `false`, never a crash or a huge allocation.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct ONNX_VALUE_INFO {
    std::string name;
    std::vector<int64_t> dims;  // -1 where the model leaves a dimension open
};

struct ONNX_GRAPH_INFO {
    std::vector<ONNX_VALUE_INFO> inputs;  // weights listed as inputs are left out
    std::vector<std::string> outputs;
};

struct ONNX_ATTRIBUTE {
    std::string name;
    bool has_float = false, has_int = false, has_text = false;
    float f = 0.0f;
    int64_t i = 0;
    std::string s;
    std::vector<int64_t> ints;
    std::vector<float> floats;
};

struct ONNX_NODE {
    std::string op_type;
    std::string domain;  // empty for the standard operators
    std::vector<std::string> inputs;  // an empty name is an omitted optional input
    std::vector<std::string> outputs;
    std::vector<ONNX_ATTRIBUTE> attributes;

    const ONNX_ATTRIBUTE* attribute(const char* name) const;
};

// Where an initializer's values are stored (TensorProto field numbers).
namespace onnx_fields {
constexpr uint32_t kFloatData = 4;  // packed 32-bit floats
constexpr uint32_t kInt32Data = 5;  // packed varints
constexpr uint32_t kInt64Data = 7;  // packed varints
constexpr uint32_t kRawData = 9;    // little-endian bytes of the data type
}  // namespace onnx_fields

// An initializer. Its values are not copied: `data` points into the model
// bytes the graph was read from (raw_data or a packed float_data/int64_data
// field, as `field` says), which must outlive it. Read them with
// onnx_tensor_floats / onnx_tensor_ints.
struct ONNX_TENSOR {
    std::string name;
    std::vector<int64_t> dims;
    int32_t data_type = 0;  // onnx TensorProto.DataType: 1 float, 6 int32, 7 int64
    uint32_t field = 0;     // 0: no values, 4 float_data, 5 int32_data, 7 int64_data, 9 raw_data
    const uint8_t* data = nullptr;
    size_t data_size = 0;
    bool external = false;  // values in another file: never read

    // Product of dims, or -1 when a dimension is negative or the count is over the cap.
    int64_t element_count() const;
};

struct ONNX_GRAPH {
    int64_t opset = 0;  // of the default domain
    std::vector<ONNX_VALUE_INFO> inputs;  // weights listed as inputs are left out
    std::vector<std::string> outputs;
    std::vector<ONNX_NODE> nodes;          // in the file's (topological) order
    std::vector<ONNX_TENSOR> initializers;
};

// Caps on what a model may hold, well above the shipped model (107 nodes, 14.7 MB).
namespace onnx_limits {
constexpr size_t kNodes = 10000;
constexpr size_t kInitializers = 10000;
constexpr size_t kNodeInputs = 64;
constexpr size_t kAttributes = 64;
constexpr size_t kListValues = 4096;  // ints or floats of one attribute
constexpr size_t kDims = 8;
constexpr size_t kNameBytes = 4096;
constexpr int64_t kTensorElements = int64_t(1) << 28;
}  // namespace onnx_limits

// False when the bytes are not a well-formed ONNX model with a graph.
bool onnx_read_graph_info(const void* data, size_t size, ONNX_GRAPH_INFO& info);
// The whole graph; false when malformed or over a cap. Initializer values
// point into `data`.
bool onnx_read_graph(const void* data, size_t size, ONNX_GRAPH& graph);
// The values of a float (data type 1) or integer (6, 7) initializer, converted;
// false when the stored size does not match the dims or the type differs.
bool onnx_tensor_floats(const ONNX_TENSOR& tensor, std::vector<float>& values);
bool onnx_tensor_ints(const ONNX_TENSOR& tensor, std::vector<int64_t>& values);
