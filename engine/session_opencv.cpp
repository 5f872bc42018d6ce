// The OpenCV DNN back end of the runtime layer: OpenCL sessions, and processor
// sessions for models XNNPACK cannot run (or when QX_ENGINE=opencv asks for
// the reference).
#include "engine/runtime_session.h"

#include <opencv2/core/ocl.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/dnn.hpp>

#include <algorithm>
#include <optional>

namespace {

std::optional<halide_type_t> halide_type_of_depth(int depth) {
    switch (depth) {
    case CV_8U: return halide_type_t(halide_type_uint, 8);
    case CV_8S: return halide_type_t(halide_type_int, 8);
    case CV_16U: return halide_type_t(halide_type_uint, 16);
    case CV_16S: return halide_type_t(halide_type_int, 16);
    case CV_32S: return halide_type_t(halide_type_int, 32);
    case CV_16F: return halide_type_t(halide_type_float, 16);
    case CV_32F: return halide_type_t(halide_type_float, 32);
    case CV_64F: return halide_type_t(halide_type_float, 64);
    default: return std::nullopt;
    }
}

// OpenCV reports a missing or unsuitable OpenCL device on the console; for the
// engine that is an expected case with its own fall-back. The level is the
// process's, so it is put back as soon as the probe is over.
class QuietOpenCvLog {
public:
    QuietOpenCvLog() : previous_(cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT)) {}
    ~QuietOpenCvLog() { cv::utils::logging::setLogLevel(previous_); }
    QuietOpenCvLog(const QuietOpenCvLog&) = delete;
    QuietOpenCvLog& operator=(const QuietOpenCvLog&) = delete;

private:
    cv::utils::logging::LogLevel previous_;
};

// OpenCV's DNN runs its OpenCL target on graphics processors only and quietly
// drops to the processor elsewhere; such a session is refused here so that the
// caller's own fall-back decides.
bool opencl_gpu_usable() {
    if (!cv::ocl::useOpenCL()) return false;
    const cv::ocl::Device& device = cv::ocl::Device::getDefault();
    if (!device.available() || !(device.type() & cv::ocl::Device::TYPE_GPU)) return false;
    const auto targets = cv::dnn::getAvailableTargets(cv::dnn::DNN_BACKEND_OPENCV);
    return std::find(targets.begin(), targets.end(), cv::dnn::DNN_TARGET_OPENCL) != targets.end();
}

class OpenCvSession : public RuntimeSession {
public:
    OpenCvSession(const RUNTIME_MODEL& model, const std::string& input_name, const std::vector<int>& input_shape,
                  bool opencl)
        : input_name_(input_name), input_shape_(input_shape), opencl_(opencl) {
        // A graph that OpenCV folds away entirely loads as an empty net; its
        // sessions then simply have nothing to run.
        net_ = cv::dnn::readNetFromONNX(model.bytes.data(), model.bytes.size());
        for (const std::string& name : model.graph.outputs)
            if (net_.getLayerId(name) >= 0) names_.push_back(name);
        net_.setPreferableTarget(opencl ? cv::dnn::DNN_TARGET_OPENCL : cv::dnn::DNN_TARGET_CPU);
        description_ = std::string("OpenCV DNN, ") + (opencl ? "OpenCL" : "processor") + ", " +
                       std::to_string(cv::getNumThreads()) + " threads";
    }

    bool run(const float* input) override {
        // The first pass on OpenCL compiles the kernels, and OpenCV talks about it.
        std::optional<QuietOpenCvLog> quiet;
        if (opencl_ && !ran_) quiet.emplace();
        ran_ = true;
        if (input && !input_shape_.empty()) {
            // setInput copies, so the caller's buffer is only borrowed here.
            cv::Mat blob(input_shape_, CV_32F, const_cast<float*>(input));
            net_.setInput(blob, input_name_);
        }
        outputs_.clear();
        if (names_.empty()) return true;
        std::vector<cv::Mat> results;
        net_.forward(results, names_);
        if (results.size() != names_.size()) return false;
        results_.clear();
        for (size_t i = 0; i < results.size(); ++i) {
            cv::Mat result = results[i].isContinuous() ? results[i] : results[i].clone();
            const auto type = halide_type_of_depth(result.depth());
            if (!type || result.channels() != 1) return false;
            results_.push_back(result);
            outputs_.push_back({names_[i], std::vector<int>(result.size.p, result.size.p + result.dims), *type, result.data});
        }
        return true;
    }

    const std::vector<RUNTIME_OUTPUT>& outputs() const override { return outputs_; }
    std::string describe() const override { return description_; }

private:
    cv::dnn::Net net_;
    std::string input_name_;
    std::vector<int> input_shape_;
    bool opencl_;
    bool ran_ = false;
    std::vector<cv::String> names_;
    std::vector<cv::Mat> results_;  // what outputs_ point into
    std::vector<RUNTIME_OUTPUT> outputs_;
    std::string description_;
};

}  // namespace

std::unique_ptr<RuntimeSession> runtime_session_opencv(const RUNTIME_MODEL& model, const std::string& input_name,
                                                       const std::vector<int>& input_shape, bool opencl) {
    std::optional<QuietOpenCvLog> quiet;
    if (opencl) {
        quiet.emplace();
        if (!opencl_gpu_usable()) return nullptr;
    }
    return std::make_unique<OpenCvSession>(model, input_name, input_shape, opencl);
}
