#include "engine/runtime_bench.h"

#include "engine/embedded_model.h"
#include "engine/libclsretri.h"
#include "engine/mnn_runtime.h"
#include "support/timing.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Variant {
    MNNForwardType type;
    bool opencv;
    int threads;
    const char* missing;  // shown when the session cannot be made
    bool choose = false;  // the engine's default: the count its forwards show better
    const char* plan = nullptr;  // XNNPACK's "fp32" or "int8"; null: the default
};

std::string measure(const Variant& variant, int forwards, const cv::Mat& picture) {
    const auto start = Clock::now();
    std::unique_ptr<MNN::Interpreter> interpreter(
        MNN::Interpreter::createFromBuffer(embedded_model_data, embedded_model_size));
    if (!interpreter) return "the built-in model cannot be read\n";
    MNN::BackendConfig choice;
    choice.opencvOnProcessor = variant.opencv;
    MNN::ScheduleConfig config;
    config.type = variant.type;
    config.numThread = variant.threads;
    choice.chooseThreads = variant.choose;
    choice.processorPlan = variant.plan;
    config.backendConfig = &choice;
    MNN::Session* session = interpreter->createSession(config);
    if (!session) return std::string(variant.missing) + "\n";
    const double load_ms = ms_since(start);
    MNN::Tensor* input = interpreter->getSessionInput(session, nullptr);
    if (!input || CLSRETRI_preprocess_opencv({picture}, input, nullptr) != 0) return "the model's input is not 224 x 224\n";
    std::vector<double> wall, cpu;
    for (int i = 0; i < forwards; ++i) {
        const auto begin = Clock::now();
        const double cpu_begin = process_cpu_ms();
        if (interpreter->runSession(session) != MNN::NO_ERROR) return interpreter->describeSession(session) + ": the forward pass failed\n";
        cpu.push_back(process_cpu_ms() - cpu_begin);
        wall.push_back(ms_since(begin));
    }
    char figures[160];
    std::snprintf(figures, sizeof figures, ": load %.1f ms, forward wall %.2f ms, processor %.2f ms (median of %d)\n",
                  load_ms, median(wall), median(cpu), forwards);
    // The default's line says what its own forwards made it choose.
    return (variant.choose ? "default: " : "") + interpreter->describeSession(session) + figures;
}

}  // namespace

std::string CLSRETRI_RuntimeBench(int forwards) {
    forwards = std::max(1, forwards);
    // A fixed gradient: the time of a forward pass does not depend on the picture.
    cv::Mat picture(480, 640, CV_8UC3);
    for (int y = 0; y < picture.rows; ++y)
        for (int x = 0; x < picture.cols; ++x) picture.at<cv::Vec3b>(y, x) = cv::Vec3b(x % 256, y % 256, (x + y) % 256);
    const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    // The default's plan (QX_ENGINE's, else the build's) and, on several
    // cores, the thread count it would choose now.
    std::vector<Variant> variants{{MNN_FORWARD_CPU, false, 4, "default: XNNPACK cannot run the model here (see the log)", true}};
    std::string report;
    for (const char* plan : {"fp32", "int8"}) {
        const char* missing = "XNNPACK: cannot run the model here (see the log)";
        variants.push_back({MNN_FORWARD_CPU, false, 1, missing, false, plan});
        if (cores > 1) variants.push_back({MNN_FORWARD_CPU, false, cores, missing, false, plan});
    }
    variants.push_back({MNN_FORWARD_CPU, true, cores, "OpenCV DNN, processor: cannot run the model"});
    variants.push_back({MNN_FORWARD_OPENCL, true, cores, "OpenCV DNN, OpenCL: no usable graphics processor"});
    for (const Variant& variant : variants) report += measure(variant, forwards, picture);
    return report;
}
