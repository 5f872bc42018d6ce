#pragma once
// What the runtime layer needs to know about an ONNX graph before it runs it:
// the declared inputs (with their shapes) and the graph's output names. OpenCV
// 4.6 keeps the declared input shape to itself, so the model bytes are read
// here directly; only the few protobuf fields below are looked at.
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

// False when the bytes are not a well-formed ONNX model with a graph.
bool onnx_read_graph_info(const void* data, size_t size, ONNX_GRAPH_INFO& info);
