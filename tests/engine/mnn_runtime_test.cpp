// The runtime layer on OpenCV: tensors, sessions and the image converter.
#include "engine/embedded_model.h"
#include "engine/mnn_runtime.h"
#include "engine_test_support.h"

namespace {

TEST(RuntimeTensorTest, HostCopyInTheOtherLayoutReordersShapeAndValues) {
    MNN::Tensor planar({1, 2, 2, 3}, halide_type_t(), MNN::Tensor::CAFFE);  // N C H W
    for (int i = 0; i < 12; ++i) planar.host<float>()[i] = static_cast<float>(i);
    MNN::Tensor packed(&planar, MNN::Tensor::TENSORFLOW);
    EXPECT_EQ(packed.shape(), (std::vector<int>{1, 2, 3, 2}));
    ASSERT_TRUE(planar.copyToHostTensor(&packed));
    // Pixel (y 1, x 2): channel 0 is planar index 5, channel 1 is 11.
    EXPECT_EQ(packed.host<float>()[(1 * 3 + 2) * 2 + 0], 5.0f);
    EXPECT_EQ(packed.host<float>()[(1 * 3 + 2) * 2 + 1], 11.0f);

    MNN::Tensor back({1, 2, 2, 3}, halide_type_t(), MNN::Tensor::CAFFE);
    ASSERT_TRUE(back.copyFromHostTensor(&packed));
    EXPECT_EQ(std::vector<float>(back.host<float>(), back.host<float>() + 12),
              std::vector<float>(planar.host<float>(), planar.host<float>() + 12));
}

TEST(RuntimeImageProcessTest, ConvertsColourOrderMeanAndNormalIntoEitherLayout) {
    MNN::CV::ImageProcess::Config config;
    config.sourceFormat = MNN::CV::BGR;
    config.destFormat = MNN::CV::RGB;
    for (int c = 0; c < 3; ++c) config.mean[c] = 10.0f, config.normal[c] = 0.5f;
    std::unique_ptr<MNN::CV::ImageProcess, void (*)(MNN::CV::ImageProcess*)> process(
        MNN::CV::ImageProcess::create(config), MNN::CV::ImageProcess::destroy);
    const uint8_t pixels[2 * 2 * 3] = {20, 40, 60, 20, 40, 60, 20, 40, 60, 20, 40, 60};
    MNN::Tensor planar({1, 3, 2, 2}, halide_type_t(), MNN::Tensor::CAFFE);
    ASSERT_EQ(process->convert(pixels, 2, 2, 0, &planar), MNN::NO_ERROR);
    EXPECT_EQ(planar.host<float>()[0], 25.0f);  // R (60 - 10) * 0.5
    EXPECT_EQ(planar.host<float>()[4], 15.0f);  // G
    EXPECT_EQ(planar.host<float>()[8], 5.0f);   // B
    MNN::Tensor packed({1, 2, 2, 3}, halide_type_t(), MNN::Tensor::TENSORFLOW);
    ASSERT_EQ(process->convert(pixels, 2, 2, 0, &packed), MNN::NO_ERROR);
    EXPECT_EQ(packed.host<float>()[0], 25.0f);
    EXPECT_EQ(packed.host<float>()[1], 15.0f);
    MNN::Tensor one_channel({1, 1, 2, 2}, halide_type_t(), MNN::Tensor::CAFFE);
    EXPECT_NE(process->convert(pixels, 2, 2, 0, &one_channel), MNN::NO_ERROR);
    EXPECT_NE(process->convert(pixels, 2, 2, 5, &planar), MNN::NO_ERROR);  // stride shorter than a row
}

class RuntimeSessionTest : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        net_.reset(MNN::Interpreter::createFromBuffer(embedded_model_data, embedded_model_size));
        ASSERT_NE(net_, nullptr);
    }
    std::unique_ptr<MNN::Interpreter> net_;
};

TEST_F(RuntimeSessionTest, SessionTensorsHaveTheModelsShapes) {
    MNN::Session* session = net_->createSession(MNN::ScheduleConfig());
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(net_->getSessionInput(session, nullptr)->shape(), (std::vector<int>{1, 3, 224, 224}));
    EXPECT_EQ(net_->getSessionInput(session, "data"), net_->getSessionInput(session, nullptr));
    EXPECT_EQ(net_->getSessionInput(session, "image"), nullptr);
    EXPECT_EQ(net_->getSessionOutput(session, "prob")->shape(), (std::vector<int>{1, 1000}));
    EXPECT_EQ(net_->getSessionOutput(session, "512feature")->shape(), (std::vector<int>{160, 1}));
    EXPECT_EQ(net_->getSessionOutput(session, "pool1280"), nullptr);
}

TEST_F(RuntimeSessionTest, OneSessionAtATime) {
    MNN::Session* first = net_->createSession(MNN::ScheduleConfig());
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(net_->createSession(MNN::ScheduleConfig()), nullptr);
    EXPECT_TRUE(net_->releaseSession(first));
    EXPECT_FALSE(net_->releaseSession(first));
    EXPECT_EQ(net_->runSession(first), MNN::INVALID_VALUE);
    EXPECT_NE(net_->createSession(MNN::ScheduleConfig()), nullptr);
}

TEST(RuntimeInterpreterTest, UnusableModelsGiveNoInterpreter) {
    const char garbage[] = "\x0a\x05hello\x3a\xff";
    EXPECT_EQ(MNN::Interpreter::createFromBuffer(nullptr, 0), nullptr);
    EXPECT_EQ(MNN::Interpreter::createFromBuffer(garbage, sizeof garbage - 1), nullptr);
    EXPECT_EQ(MNN::Interpreter::createFromBuffer(embedded_model_data, embedded_model_size / 2), nullptr);
    EXPECT_EQ(MNN::Interpreter::createFromFile(nullptr), nullptr);
    EXPECT_EQ(MNN::Interpreter::createFromFile("/nonexistent/model.onnx"), nullptr);
}

}  // namespace
