// Declared inputs and outputs read from the model bytes.
#include "engine/embedded_model.h"
#include "engine/onnx_info.h"
#include "engine_test_support.h"
#include "testkit/files.h"

namespace {

ONNX_GRAPH_INFO info_of_file(const std::string& path) {
    const std::string bytes = read_file(path);
    ONNX_GRAPH_INFO info;
    EXPECT_TRUE(onnx_read_graph_info(bytes.data(), bytes.size(), info)) << path;
    return info;
}

TEST(OnnxInfoTest, EmbeddedModelDeclaresItsInputAndBothOutputs) {
    ONNX_GRAPH_INFO info;
    ASSERT_TRUE(onnx_read_graph_info(embedded_model_data, embedded_model_size, info));
    ASSERT_EQ(info.inputs.size(), 1u);
    EXPECT_EQ(info.inputs[0].name, "data");
    EXPECT_EQ(info.inputs[0].dims, (std::vector<int64_t>{1, 3, 224, 224}));
    EXPECT_EQ(info.outputs, (std::vector<std::string>{"prob", "512feature"}));
}

TEST(OnnxInfoTest, WeightsListedAsInputsAreLeftOut) {
    const ONNX_GRAPH_INFO info = info_of_file(tiny_model("weights_as_inputs"));
    ASSERT_EQ(info.inputs.size(), 1u);
    EXPECT_EQ(info.inputs[0].name, "data");
}

TEST(OnnxInfoTest, NamedDimensionsAreOpen) {
    const ONNX_GRAPH_INFO info = info_of_file(tiny_model("input_open_size"));
    ASSERT_EQ(info.inputs.size(), 1u);
    EXPECT_EQ(info.inputs[0].dims, (std::vector<int64_t>{1, 3, -1, -1}));
}

TEST(OnnxInfoTest, TruncatedOrEmptyBytesAreRefused) {
    const std::string bytes = read_file(tiny_model("tiny_contract"));
    ONNX_GRAPH_INFO info;
    EXPECT_FALSE(onnx_read_graph_info(bytes.data(), bytes.size() - 7, info));
    EXPECT_FALSE(onnx_read_graph_info(bytes.data(), 0, info));
    EXPECT_FALSE(onnx_read_graph_info(nullptr, 10, info));
    const char no_graph[] = "\x08\x05";  // ir_version 5 and nothing else
    EXPECT_FALSE(onnx_read_graph_info(no_graph, 2, info));
}

}  // namespace
