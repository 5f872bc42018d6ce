// XNNPACK, the processor's default back end, against OpenCV's DNN, the
// reference: the same features and classes on real photos, and the fall-back
// to OpenCV for models XNNPACK cannot run.
#include "engine/embedded_model.h"
#include "engine/mnn_runtime.h"
#include "engine/onnx_info.h"
#include "engine/runtime_session.h"
#include "engine/thread_choice.h"
#include "engine/xnn_network.h"
#include "engine_test_support.h"
#include "support/log.h"
#include "support/timing.h"
#include "testkit/files.h"

#include <gmock/gmock.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <thread>

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

namespace {

std::string backend_of(void* handle) {
    const auto* engine = static_cast<CLSRETRI_HANDLE*>(handle);
    return engine->interpreter->describeSession(engine->session);
}

class BackendAgreementTest : public TempDirTest {
protected:
    void TearDown() override {
        for (void** h : {&xnnpack_, &opencv_})
            if (*h) CLSRETRI_Release(h);
        TempDirTest::TearDown();
    }
    void* xnnpack_ = nullptr;
    void* opencv_ = nullptr;
};

// Features learned on the OpenCV engine stay valid on XNNPACK: every value
// within 1e-5, cosine above 1 - 1e-9, the same ten classes in the same order.
TEST_F(BackendAgreementTest, XnnpackGivesOpenCvsFeaturesAndClassesOnRealPhotos) {
    xnnpack_ = engine_on("fp32");
    opencv_ = engine_on("opencv");
    ASSERT_THAT(backend_of(xnnpack_), StartsWith("XNNPACK"));
    ASSERT_THAT(backend_of(opencv_), StartsWith("OpenCV DNN"));
    const char* photos[] = {
        "val/Fruit/Banana/Banana_001.jpg",   "val/Fruit/Apple/Granny-Smith/Granny-Smith_001.jpg",
        "val/Vegetables/Carrots/Carrots_001.jpg", "val/Fruit/Orange/Orange_001.jpg",
        "val/Vegetables/Potato/Floury-Potato/Floury-Potato_001.jpg",
    };
    for (const char* photo : photos) {
        SCOPED_TRACE(photo);
        const cv::Mat picture = grocery_photo(photo);
        _CLSRETRI_OUTPUT_ fast = marked_output(), reference = marked_output();
        ASSERT_EQ(CLSRETRI_Process({picture}, &fast, xnnpack_), 0);
        ASSERT_EQ(CLSRETRI_Process({picture}, &reference, opencv_), 0);
        double dot = 0, fast_norm = 0, reference_norm = 0, worst = 0;
        for (int i = 0; i < CLSRETRI_FEATURE_SIZE; ++i) {
            dot += double(fast.feature[i]) * reference.feature[i];
            fast_norm += double(fast.feature[i]) * fast.feature[i];
            reference_norm += double(reference.feature[i]) * reference.feature[i];
            worst = std::max(worst, std::fabs(double(fast.feature[i]) - reference.feature[i]));
        }
        EXPECT_LT(worst, 1e-5);
        EXPECT_GT(dot / std::sqrt(fast_norm * reference_norm), 1.0 - 1e-9);
        for (int i = 0; i < CLSRETRI_TOP_CLASSES; ++i) {
            EXPECT_EQ(fast.cls[i].class_index, reference.cls[i].class_index) << "rank " << i;
            EXPECT_NEAR(fast.cls[i].score, reference.cls[i].score, 1e-5) << "rank " << i;
        }
    }
}

// The thread pool splits the work, not the sums: XNNPACK on every core gives
// the one-thread features, in either plan.
TEST_F(BackendAgreementTest, ThreadPoolGivesTheOneThreadFeatures) {
    const cv::Mat picture = grocery_photo("val/Fruit/Kiwi/Kiwi_001.jpg");
    for (const char* plan : {"fp32", "int8"}) {
        SCOPED_TRACE(plan);
        std::vector<float> features[2];
        std::string described[2];
        const int threads[2] = {1, 2};
        for (int i = 0; i < 2; ++i) {
            std::unique_ptr<MNN::Interpreter> interpreter(
                MNN::Interpreter::createFromBuffer(embedded_model_data, embedded_model_size));
            ASSERT_NE(interpreter, nullptr);
            MNN::BackendConfig backend;
            backend.processorPlan = plan;
            MNN::ScheduleConfig config;
            config.numThread = threads[i];
            config.backendConfig = &backend;
            MNN::Session* session = interpreter->createSession(config);
            ASSERT_NE(session, nullptr);
            described[i] = interpreter->describeSession(session);
            ASSERT_EQ(CLSRETRI_preprocess_opencv({picture}, interpreter->getSessionInput(session, nullptr), nullptr), 0);
            ASSERT_EQ(interpreter->runSession(session), MNN::NO_ERROR);
            const float* values = interpreter->getSessionOutput(session, "512feature")->host<float>();
            features[i].assign(values, values + CLSRETRI_FEATURE_SIZE);
        }
        const std::string name = std::string(plan) == "int8" ? "XNNPACK int8, " : "XNNPACK, ";
        EXPECT_THAT(described[0], StartsWith(name + "1 thread, "));
        if (std::thread::hardware_concurrency() > 1) {
            EXPECT_THAT(described[1], StartsWith(name + "2 threads, "));
        }
        for (int i = 0; i < CLSRETRI_FEATURE_SIZE; ++i) EXPECT_NEAR(features[0][i], features[1][i], 1e-6) << i;
    }
}

// Between forwards the pool's workers sleep: a worker still spinning after a
// forward takes a core from the rest of the recognition, costs processor time
// for nothing and looks to the thread choice like another program's load.
TEST_F(BackendAgreementTest, PoolWorkersSleepBetweenForwards) {
    if (std::thread::hardware_concurrency() < 2) GTEST_SKIP() << "one core: no pool";
    ONNX_GRAPH graph;
    ASSERT_TRUE(onnx_read_graph(embedded_model_data, embedded_model_size, graph));
    std::string why;
    auto network = XnnNetwork::create(graph, {1, 3, 224, 224}, 2, true, nullptr, why);
    ASSERT_NE(network, nullptr) << why;
    ASSERT_TRUE(network->make_pool_plan());
    ASSERT_EQ(network->worker_clocks().size(), 1u);
    const std::vector<float> input(3 * 224 * 224, 0.25f);
    for (int forward = 0; forward < 3; ++forward) {
        ASSERT_TRUE(network->run(input.data(), true));
        const double after_forward = clock_ms(network->worker_clocks()[0]);
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        EXPECT_LT(clock_ms(network->worker_clocks()[0]) - after_forward, 1.0) << "forward " << forward;
    }
}

// The default session runs nothing to choose its threads while it is made
// (the engine's start costs what one thread's does): it starts on one thread
// and chooses from the forwards the recognitions run anyway. Every forward
// gives the same features, whichever plan ran it (on a busy machine only the
// one-thread plan runs; on a free one the pool's is made and tried too).
TEST_F(BackendAgreementTest, DefaultThreadChoiceTimesNothingAtStartAndKeepsTheFeatures) {
    if (std::thread::hardware_concurrency() < 2) GTEST_SKIP() << "one core: nothing to choose";
    std::unique_ptr<MNN::Interpreter> interpreter(MNN::Interpreter::createFromBuffer(embedded_model_data, embedded_model_size));
    ASSERT_NE(interpreter, nullptr);
    MNN::BackendConfig backend;
    backend.chooseThreads = true;
    MNN::ScheduleConfig config;
    config.numThread = 2;
    config.backendConfig = &backend;
    MNN::Session* session = interpreter->createSession(config);
    ASSERT_NE(session, nullptr);
    EXPECT_THAT(interpreter->describeSession(session), AllOf(StartsWith("XNNPACK"), HasSubstr(", 1 thread, ")));
    EXPECT_THAT(interpreter->describeSession(session),
                HasSubstr("choosing between 1 and 2 threads from its forwards (1 thread: not measured; 2 threads: not measured)"));
    logger->flush();
    EXPECT_THAT(read_file("tmp/" + today_day_file()), Not(HasSubstr("engine: forwards on")));
    ASSERT_EQ(CLSRETRI_preprocess_opencv({grocery_photo("val/Fruit/Kiwi/Kiwi_001.jpg")},
                                         interpreter->getSessionInput(session, nullptr), nullptr), 0);
    std::vector<float> first;
    // Past the first try of the count not chosen.
    for (int i = 0; i < 2 * ThreadChoice::kFirstProbeGap + 2; ++i) {
        ASSERT_EQ(interpreter->runSession(session), MNN::NO_ERROR);
        const float* values = interpreter->getSessionOutput(session, "512feature")->host<float>();
        if (first.empty()) first.assign(values, values + CLSRETRI_FEATURE_SIZE);
        for (int k = 0; k < CLSRETRI_FEATURE_SIZE; ++k) ASSERT_NEAR(values[k], first[k], 1e-6) << "forward " << i;
    }
}

// Where the cores look free, the session makes the pool's plan only when its
// choice first wants it, leaves the first forward of each plan out of the
// figures, compares both counts on the forwards it runs anyway and says its
// choice once; the features stay those of the first forward throughout.
TEST_F(BackendAgreementTest, ThreadChoiceOnFreeCoresTriesBothPlansAndKeepsTheFeatures) {
    if (std::thread::hardware_concurrency() < 2) GTEST_SKIP() << "one core: nothing to choose";
    RUNTIME_MODEL model;
    model.bytes.assign(embedded_model_data, embedded_model_data + embedded_model_size);
    ASSERT_TRUE(onnx_read_graph(model.bytes.data(), model.bytes.size(), model.graph));
    RUNTIME_THREADS threads;
    threads.most = 2;
    threads.choose = true;
    threads.ready_elsewhere = [] { return 0; };
    std::string why;
    const std::vector<int> shape = {1, 3, 224, 224};
    auto session = runtime_session_xnnpack(model, shape, threads, nullptr, why);
    ASSERT_NE(session, nullptr) << why;

    MNN::Tensor input(shape, halide_type_t(), MNN::Tensor::CAFFE);
    ASSERT_EQ(CLSRETRI_preprocess_opencv({grocery_photo("val/Fruit/Kiwi/Kiwi_001.jpg")}, &input, nullptr), 0);
    std::vector<float> first;
    // Warm-up of each plan, then three forwards of each count.
    for (int i = 0; i < 2 + 2 * ThreadChoice::kStartForwards; ++i) {
        ASSERT_TRUE(session->run(input.host<float>()));
        const RUNTIME_OUTPUT* feature = nullptr;
        for (const RUNTIME_OUTPUT& out : session->outputs())
            if (out.name == "512feature") feature = &out;
        ASSERT_NE(feature, nullptr);
        const float* values = static_cast<const float*>(feature->data);
        if (first.empty()) first.assign(values, values + CLSRETRI_FEATURE_SIZE);
        for (int k = 0; k < CLSRETRI_FEATURE_SIZE; ++k) ASSERT_NEAR(values[k], first[k], 1e-6) << "forward " << i;
    }
    EXPECT_THAT(session->describe(), HasSubstr("; chosen between 1 and 2 threads from its forwards (1 thread: "));
    EXPECT_THAT(session->describe(), Not(HasSubstr("not measured")));
    logger->flush();
    const std::string log = read_file("tmp/" + today_day_file());
    EXPECT_THAT(log, HasSubstr("engine: forwards on "));
    EXPECT_EQ(log.find("engine: forwards on "), log.rfind("engine: forwards on ")) << "said once";
}

// A model with an operation the importer does not take still runs, on OpenCV,
// and says so once in the log; one XNNPACK cannot read is refused as before.
TEST_F(BackendAgreementTest, ModelXnnpackCannotRunFallsBackToOpenCvWithOneLogLine) {
    // The tiny contract model with its Softmax turned into a Sigmoid, which
    // OpenCV runs and the importer does not know.
    std::string model = read_file(tiny_model("tiny_contract"));
    const size_t op = model.find("Softmax");
    ASSERT_NE(op, std::string::npos);
    model.replace(op, 7, "Sigmoid");
    write_file("unknown_op.onnx", model);
    xnnpack_ = engine_on("", "unknown_op.onnx");
    EXPECT_THAT(backend_of(xnnpack_), StartsWith("OpenCV DNN"));
    _CLSRETRI_OUTPUT_ output = marked_output();
    EXPECT_EQ(CLSRETRI_Process({grocery_photo("val/Fruit/Banana/Banana_001.jpg")}, &output, xnnpack_), 0);
    logger->flush();
    const std::string log = read_file("tmp/" + list_dir("tmp").back());
    EXPECT_THAT(log, HasSubstr("XNNPACK cannot run the model (operation Sigmoid is not imported)"));
    EXPECT_EQ(log.find("XNNPACK"), log.rfind("XNNPACK"));

    // The tiny contract model has the feature head's node kinds: it stays on XNNPACK.
    opencv_ = engine_on("", tiny_model("tiny_contract").c_str());
    EXPECT_THAT(backend_of(opencv_), StartsWith("XNNPACK"));
}

}  // namespace
