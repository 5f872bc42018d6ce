// Choosing the int8 plan, and what it takes from the built-in int8 source:
// the source must describe the model's own backbone, and a damaged one is
// refused without harm.
#include "engine/embedded_model.h"
#include "engine/int8_backbone.h"
#include "engine/mnn_runtime.h"
#include "engine/precision.h"
#include "engine/tflite_info.h"
#include "engine/xnn_network.h"
#include "engine_test_support.h"
#include "support/log.h"
#include "testkit/child.h"
#include "testkit/files.h"

#include <gmock/gmock.h>

#include <cstdlib>
#include <memory>
#include <random>

using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

const ONNX_GRAPH& model_graph() {
    static const ONNX_GRAPH graph = [] {
        ONNX_GRAPH g;
        EXPECT_TRUE(onnx_read_graph(embedded_model_data, embedded_model_size, g));
        return g;
    }();
    return graph;
}

std::string int8_source() {
    return std::string(reinterpret_cast<const char*>(embedded_int8_source_data), embedded_int8_source_size);
}

struct Made {
    std::unique_ptr<MNN::Interpreter> interpreter;
    MNN::Session* session = nullptr;
};

// A session of `model` (null: the built-in one) with QX_ENGINE set to `engine`
// (null: unset) and the caller's plan `plan` (null: none).
Made session_with(const char* engine, const char* plan, const char* model = nullptr) {
    Made made;
    if (engine)
        setenv("QX_ENGINE", engine, 1);
    else
        unsetenv("QX_ENGINE");
    made.interpreter.reset(model ? MNN::Interpreter::createFromFile(model)
                                 : MNN::Interpreter::createFromBuffer(embedded_model_data, embedded_model_size));
    MNN::BackendConfig backend;
    backend.processorPlan = plan;
    MNN::ScheduleConfig config;
    config.numThread = 1;
    config.backendConfig = &backend;
    if (made.interpreter) made.session = made.interpreter->createSession(config);
    unsetenv("QX_ENGINE");
    return made;
}

class Int8PlanTest : public TempDirTest {};

TEST_F(Int8PlanTest, QxEngineOrTheCallerChoosesThePlanAndTheSessionSaysWhichRuns) {
    struct Case {
        const char* engine;
        const char* plan;
        const char* precision;
        const char* described;
    } cases[] = {
        {"int8", nullptr, "int8", "XNNPACK int8, 1 thread, "},
        {"fp32", nullptr, "fp32", "XNNPACK, 1 thread, "},
        {"opencv", nullptr, "fp32", "OpenCV DNN, processor"},
        {"int8", "fp32", "fp32", "XNNPACK, 1 thread, "},
        {"fp32", "int8", "int8", "XNNPACK int8, 1 thread, "},
        {nullptr, nullptr, engine_precision_name(kDefaultPrecision),
         kDefaultPrecision == ENGINE_PRECISION::INT8 ? "XNNPACK int8, " : "XNNPACK, "},
        {"something else", nullptr, engine_precision_name(kDefaultPrecision), "XNNPACK"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.engine ? c.engine : "(unset)") + " / " + (c.plan ? c.plan : "(none)"));
        const Made made = session_with(c.engine, c.plan);
        ASSERT_NE(made.session, nullptr);
        EXPECT_STREQ(made.interpreter->sessionPrecision(made.session), c.precision);
        EXPECT_THAT(made.interpreter->describeSession(made.session), StartsWith(c.described));
    }
}

// A model whose backbone is not the int8 source's still runs when int8 is
// asked for: in float32, with one log line saying why.
TEST_F(Int8PlanTest, ModelOfAnotherBackboneRunsInFloat32WithOneLogLine) {
    const Made made = session_with("int8", nullptr, tiny_model("tiny_contract").c_str());
    ASSERT_NE(made.session, nullptr);
    EXPECT_STREQ(made.interpreter->sessionPrecision(made.session), "fp32");
    EXPECT_THAT(made.interpreter->describeSession(made.session), StartsWith("XNNPACK, "));
    logger->flush();
    const std::string log = read_file("tmp/" + today_day_file());
    EXPECT_THAT(log, HasSubstr("engine: the int8 plan cannot run the model (the model has no convolution), using float32"));
    EXPECT_EQ(log.find("int8 plan"), log.rfind("int8 plan"));
}

TEST(Int8BackboneTest, LinesUpEveryConvolutionAndAdditionOfTheModel) {
    INT8_BACKBONE backbone;
    std::string why;
    ASSERT_TRUE(int8_backbone_embedded(model_graph(), backbone, why)) << why;
    size_t convs = 0, adds = 0;
    for (const ONNX_NODE& n : model_graph().nodes) convs += n.op_type == "Conv", adds += n.op_type == "Add";
    EXPECT_EQ(backbone.convs.size(), convs);
    EXPECT_EQ(backbone.adds.size(), adds - 1);  // all but the input's scaling
    // The first convolution reads the picture as the int8 source quantises it:
    // 8-bit value - 128 in steps of 1/127.5.
    const auto first = std::min_element(backbone.convs.begin(), backbone.convs.end(),
                                        [](const auto& a, const auto& b) { return a.first < b.first; });
    EXPECT_FLOAT_EQ(first->second.input.scale, 1.0f / 127.5f);
    EXPECT_EQ(first->second.input.zero_point, -1);
}

// One weight of one convolution changed in the int8 source: the two files no
// longer describe the same backbone, and the int8 plan is refused.
TEST(Int8BackboneTest, SourceThatDiffersFromTheModelByOneWeightIsRefused) {
    std::string source = int8_source();
    TFLITE_MODEL tflite;
    ASSERT_TRUE(tflite_read_model(source.data(), source.size(), tflite));
    int seen = 0;
    const TFLITE_TENSOR* weights = nullptr;
    for (const TFLITE_OP& op : tflite.ops)
        if ((op.code == tflite_ops::kConv2d || op.code == tflite_ops::kDepthwiseConv2d) && ++seen == 10)
            weights = &tflite.tensors[op.inputs[1]];
    ASSERT_NE(weights, nullptr);
    const size_t at = static_cast<size_t>(reinterpret_cast<const char*>(weights->data) - source.data()) + 7;
    source[at] = static_cast<char>(source[at] ^ 0x01);
    ASSERT_TRUE(tflite_read_model(source.data(), source.size(), tflite));
    INT8_BACKBONE backbone;
    std::string why;
    EXPECT_FALSE(int8_backbone_map(model_graph(), tflite, backbone, why));
    EXPECT_EQ(why, "convolution 10 differs between the two files");
    EXPECT_TRUE(backbone.convs.empty());
}

// Every read is checked: a truncated or damaged source is refused, or read
// and lined up (or not) within its bytes, and a plan made from it runs.
TEST(Int8BackboneTest, DamagedSourcesAreRefusedOrReadWithinBounds) {
    std::string source = int8_source();
    TFLITE_MODEL tflite;
    ASSERT_TRUE(tflite_read_model(source.data(), source.size(), tflite));
    // The bytes outside the weights: tables, vectors, names, scales.
    std::vector<bool> weight(source.size(), false);
    for (const TFLITE_TENSOR& t : tflite.tensors)
        if (t.data && t.data_size > 64)
            for (size_t i = 0; i < t.data_size; ++i) weight[size_t(reinterpret_cast<const char*>(t.data) - source.data()) + i] = true;
    std::vector<size_t> structure;
    for (size_t i = 0; i < source.size(); ++i)
        if (!weight[i]) structure.push_back(i);
    ASSERT_GT(structure.size(), 1000u);

    // A cut through what the reader looks at refuses the file; one through the
    // trailing bytes it never reads (the converter's metadata) does not.
    for (size_t cut = 0; cut < source.size(); cut += source.size() / 300 + 1) {
        if (!tflite_read_model(source.data(), cut, tflite)) continue;
        for (const TFLITE_TENSOR& t : tflite.tensors) {
            if (!t.data) continue;
            EXPECT_LE(reinterpret_cast<const char*>(t.data) + t.data_size, source.data() + cut);
        }
    }
    std::mt19937 random(20261208);
    int planned = 0;
    // Each round lines up the whole source: fewer under emulation.
    const int rounds = tests_run_emulated() ? 60 : 300;
    for (int round = 0; round < rounds; ++round) {
        std::vector<std::pair<size_t, char>> changed;
        for (int c = 1 + int(random() % 3); c > 0; --c) {
            const size_t at = structure[random() % structure.size()];
            changed.emplace_back(at, source[at]);
            source[at] = random() % 2 ? static_cast<char>(random()) : static_cast<char>(0xff);
        }
        INT8_BACKBONE backbone;
        std::string why;
        if (tflite_read_model(source.data(), source.size(), tflite) && int8_backbone_map(model_graph(), tflite, backbone, why) &&
            planned++ < 5) {
            auto network = XnnNetwork::create(model_graph(), {1, 3, 224, 224}, 1, false, &backbone, why);
            if (network) {
                EXPECT_TRUE(network->run(std::vector<float>(3 * 224 * 224, 0.5f).data()));
            }
        }
        for (auto it = changed.rbegin(); it != changed.rend(); ++it) source[it->first] = it->second;
    }
}

}  // namespace
