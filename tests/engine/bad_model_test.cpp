// Models that are wrong in ways that used to end the host process inside
// OpenCV (a division by zero in Init): the model check refuses each with the
// engine's load code and one log line, and the process goes on.
#include "qx_ai.h"

#include "api/context.h"
#include "engine/onnx_check.h"
#include "engine_test_support.h"
#include "support/log.h"
#include "testkit/files.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <cstdlib>
#include <functional>

using ::testing::HasSubstr;

namespace {

class BadModelTest : public TempDirTest {
protected:
    void TearDown() override {
        Close();
        unsetenv("QX_ENGINE");
        TempDirTest::TearDown();
    }
    std::string todays_log() {
        logger->flush();
        return read_file("tmp/" + today_day_file());
    }
};

TEST_F(BadModelTest, RefusedBeforeEitherBackEndSeesIt) {
    const struct {
        const char* model;
        const char* why;
    } cases[] = {
        {"gemm_zero_rows", "weight w_prob has a zero dimension"},
        {"external_weights", "weight w_feat keeps its values in another file"},
        {"empty_weights", "weight w_feat has no values"},
    };
    ASSERT_EQ(Init(), 0);  // the day's log file
    for (const char* engine : {"xnnpack", "opencv"}) {
        setenv("QX_ENGINE", engine, 1);
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.model) + " with QX_ENGINE=" + engine);
            void* refused = nullptr;
            EXPECT_EQ(CLSRETRI_Init(tiny_model(c.model).c_str(), CLSRETRI_DEVICE_CPU, &refused), CLSRETRI_ERR_MODEL_LOAD);
            EXPECT_EQ(refused, nullptr);
            EXPECT_THAT(todays_log(), HasSubstr(std::string("engine: the model is refused (") + c.why + ")"));
        }
    }
}

// The network runs and answers a feature that is not a number: the
// recognition refuses it as an engine failure rather than matching or storing it.
TEST_F(BadModelTest, FeatureThatIsNotANumberFailsTheRecognition) {
    ASSERT_EQ(Init(), 0);
    ASSERT_EQ(SaveScaleSetting(0, 0, 640, 480), QX_OK);
    ASSERT_EQ(CLSRETRI_Release(&handle), 0);
    ASSERT_EQ(CLSRETRI_Init(tiny_model("nan_weights").c_str(), CLSRETRI_DEVICE_CPU, &handle), 0);
    char codes[QX_CODES_SIZE] = "untouched", session[QX_SESSION_SIZE] = "";
    EXPECT_EQ(TestDetect(grocery_photo("val/Fruit/Banana", 0).c_str(), codes, session), QX_ERR_FILE_DETECT_FAILED);
    EXPECT_THAT(todays_log(), HasSubstr("engine returned a non-finite feature"));
}

// The check's other rules, each bent into the tiny contract model's graph.
TEST(ModelCheckTest, GraphsBentOneWayAreRefusedWithTheirReason) {
    const std::string bytes = read_file(tiny_model("tiny_contract"));
    ONNX_GRAPH sound;
    ASSERT_TRUE(onnx_read_graph(bytes.data(), bytes.size(), sound));
    std::string why;
    ASSERT_TRUE(onnx_check_graph(sound, why)) << why;
    auto node = [](ONNX_GRAPH& g, const char* op) -> ONNX_NODE& {
        return *std::find_if(g.nodes.begin(), g.nodes.end(), [&](const ONNX_NODE& n) { return n.op_type == op; });
    };
    auto weight = [](ONNX_GRAPH& g, const char* name) -> ONNX_TENSOR& {
        return *std::find_if(g.initializers.begin(), g.initializers.end(), [&](const ONNX_TENSOR& t) { return t.name == name; });
    };
    const std::pair<std::function<void(ONNX_GRAPH&)>, const char*> cases[] = {
        {[](ONNX_GRAPH& g) { g.inputs[0].dims[2] = 0; }, "input data has a zero dimension"},
        {[&](ONNX_GRAPH& g) { weight(g, "w_prob").data_size -= 4; }, "weight w_prob does not hold the values its dims say"},
        {[&](ONNX_GRAPH& g) { weight(g, "w_prob").data_type = 8; }, "weight w_prob does not hold the values its dims say"},
        {[&](ONNX_GRAPH& g) { weight(g, "w_prob").dims = {1000, 3, 1}; }, "Gemm logits: weight is not 2-D"},
        {[&](ONNX_GRAPH& g) { node(g, "Gemm").inputs[2] = "b_feat"; }, "Gemm logits: bias of another size than the outputs"},
        {[&](ONNX_GRAPH& g) { node(g, "Softmax").inputs[0] = "nowhere"; }, "Softmax reads nowhere, which nothing defines"},
        {[](ONNX_GRAPH& g) { g.outputs.push_back("extra"); }, "output extra is not computed by any node"},
        {[&](ONNX_GRAPH& g) {
             ONNX_NODE conv;
             conv.op_type = "Conv";
             conv.inputs = {"data", "w_prob"};
             conv.outputs = {"convolved"};
             conv.attributes.push_back(ONNX_ATTRIBUTE{"group", false, true});
             g.nodes.insert(g.nodes.begin(), conv);
         },
         "Conv convolved: group 0"},
    };
    for (const auto& [bend, reason] : cases) {
        ONNX_GRAPH graph = sound;
        bend(graph);
        why.clear();
        EXPECT_FALSE(onnx_check_graph(graph, why)) << reason;
        EXPECT_EQ(why, reason);
    }
}

}  // namespace
