// The model reader and the XNNPACK importer on damaged models: every
// truncation point and thousands of random byte changes of a real model end
// in a clean refusal or a usable graph, never a crash, an endless loop or a
// read out of bounds (the sanitizer run checks the last).
#include "engine/onnx_info.h"
#include "engine/xnn_network.h"
#include "engine_test_support.h"
#include "testkit/files.h"

#include <gtest/gtest.h>

#include <random>

namespace {

// Reads the bytes; where they still form a graph, imports it too and, when
// that succeeds, runs it once on a zero input.
void read_and_import(const std::string& bytes) {
    ONNX_GRAPH graph;
    if (!onnx_read_graph(bytes.data(), bytes.size(), graph)) return;
    for (const ONNX_TENSOR& t : graph.initializers) {
        std::vector<float> floats;
        std::vector<int64_t> ints;
        onnx_tensor_floats(t, floats);
        onnx_tensor_ints(t, ints);
    }
    if (graph.inputs.size() != 1) return;
    std::vector<int> shape;
    for (int64_t d : graph.inputs[0].dims) shape.push_back(d > 0 && d <= 224 ? static_cast<int>(d) : 1);
    std::string why;
    auto network = XnnNetwork::create(graph, shape, 1, false, nullptr, why);
    if (!network) {
        EXPECT_FALSE(why.empty());
        return;
    }
    size_t count = 1;
    for (int d : shape) count *= static_cast<size_t>(d);
    EXPECT_TRUE(network->run(std::vector<float>(count, 0.0f).data()));
}

TEST(OnnxReaderTest, DamagedModelsAreRefusedOrReadWithinBounds) {
    const std::string model = read_file(tiny_model("tiny_contract"));
    ASSERT_GT(model.size(), 1000u);
    ONNX_GRAPH intact;
    ASSERT_TRUE(onnx_read_graph(model.data(), model.size(), intact));
    EXPECT_EQ(intact.nodes.size(), 8u);
    EXPECT_EQ(intact.opset, 10);

    for (size_t cut = 0; cut < model.size(); cut += 7) read_and_import(model.substr(0, cut));

    std::mt19937 random(20261207);
    for (int round = 0; round < 3000; ++round) {
        std::string damaged = model;
        const int changes = 1 + static_cast<int>(random() % 4);
        for (int c = 0; c < changes; ++c) {
            const size_t at = random() % damaged.size();
            switch (random() % 3) {
            case 0: damaged[at] = static_cast<char>(random()); break;              // any byte
            case 1: damaged[at] = static_cast<char>(damaged[at] ^ 0x80); break;  // varint continuation
            default: damaged[at] = static_cast<char>(0xff); break;               // huge length or dim
            }
        }
        read_and_import(damaged);
    }
}

// Hand-made messages that claim more than they hold, or more than the caps.
TEST(OnnxReaderTest, ClaimsBeyondTheBytesOrTheCapsAreRefused) {
    const std::string cases[] = {
        std::string("\x3a\x05\x0a\x03", 4),                       // graph longer than the file
        std::string("\x3a\x0a\xff\xff\xff\xff\xff\xff\xff\xff\xff\x01", 12),  // 10-byte varint key
        std::string("\x3a\x02\x0b\x00", 4),                       // group wire type
    };
    for (const std::string& bytes : cases) {
        ONNX_GRAPH graph;
        EXPECT_FALSE(onnx_read_graph(bytes.data(), bytes.size(), graph));
    }
    // An initializer with more dimensions than the cap.
    std::string tensor;
    for (size_t i = 0; i <= onnx_limits::kDims; ++i) tensor += std::string("\x08\x01", 2);
    const std::string graph_bytes = std::string("\x2a", 1) + char(tensor.size()) + tensor;
    const std::string model = std::string("\x3a", 1) + char(graph_bytes.size()) + graph_bytes;
    ONNX_GRAPH graph;
    EXPECT_FALSE(onnx_read_graph(model.data(), model.size(), graph));

    // Values that do not match their dims are not read.
    ONNX_TENSOR lying;
    lying.dims = {1000, 1000};
    lying.data_type = 1;
    lying.field = 9;
    const float four[4] = {1, 2, 3, 4};
    lying.data = reinterpret_cast<const uint8_t*>(four);
    lying.data_size = sizeof four;
    std::vector<float> values;
    EXPECT_FALSE(onnx_tensor_floats(lying, values));
    lying.dims = {int64_t(1) << 40, int64_t(1) << 40};
    EXPECT_EQ(lying.element_count(), -1);
}

}  // namespace
