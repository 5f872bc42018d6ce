// The runtime layer of mnn_runtime.h for ONNX models: processor sessions on
// XNNPACK (xnn_network.cpp), OpenCL sessions and the fall-back on OpenCV's DNN.
#include "engine/mnn_runtime.h"

#include "engine/onnx_info.h"
#include "engine/xnn_network.h"
#include "support/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <opencv2/core/ocl.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/dnn.hpp>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

namespace MNN {

namespace {

bool is_nhwc(Tensor::DimensionType type) { return type == Tensor::TENSORFLOW; }

std::vector<int> reorder_shape(const std::vector<int>& shape, Tensor::DimensionType from, Tensor::DimensionType to) {
    if (shape.size() != 4 || is_nhwc(from) == is_nhwc(to)) return shape;
    if (is_nhwc(to)) return {shape[0], shape[2], shape[3], shape[1]};
    return {shape[0], shape[3], shape[1], shape[2]};
}

std::unique_ptr<uint8_t[]> zeroed_bytes(size_t n) { return std::unique_ptr<uint8_t[]>(new uint8_t[n ? n : 1]()); }

// Host copies are written in full right after they are made; clearing them
// first would cost as much as the copy itself.
std::unique_ptr<uint8_t[]> raw_bytes(size_t n) { return std::unique_ptr<uint8_t[]>(new uint8_t[n ? n : 1]); }

// Moves the elements of a 4-D tensor from NCHW to NHWC order or back.
template <typename Element>
void transpose(const void* from, void* to, const std::vector<int>& nchw, bool to_nhwc) {
    const auto* src = static_cast<const Element*>(from);
    auto* dst = static_cast<Element*>(to);
    const size_t n = nchw[0], c = nchw[1], h = nchw[2], w = nchw[3];
    for (size_t b = 0; b < n; ++b)
        for (size_t ch = 0; ch < c; ++ch)
            for (size_t y = 0; y < h; ++y)
                for (size_t x = 0; x < w; ++x) {
                    const size_t planar = ((b * c + ch) * h + y) * w + x;
                    const size_t packed = ((b * h + y) * w + x) * c + ch;
                    if (to_nhwc)
                        dst[packed] = src[planar];
                    else
                        dst[planar] = src[packed];
                }
}

bool copy_values(const Tensor& from, const Tensor& to) {
    if (!from.host<void>() || !to.host<void>()) return false;
    if (from.getType() != to.getType() || from.elementSize() != to.elementSize()) return false;
    const auto from_layout = from.getDimensionType();
    const auto to_layout = to.getDimensionType();
    if (reorder_shape(from.shape(), from_layout, to_layout) != to.shape()) return false;
    if (from.shape().size() != 4 || is_nhwc(from_layout) == is_nhwc(to_layout)) {
        std::memcpy(to.host<void>(), from.host<void>(), from.size());
        return true;
    }
    const bool to_nhwc = is_nhwc(to_layout);
    const std::vector<int> nchw = to_nhwc ? from.shape() : to.shape();
    switch (from.getType().bytes()) {
    case 1: transpose<uint8_t>(from.host<void>(), to.host<void>(), nchw, to_nhwc); return true;
    case 2: transpose<uint16_t>(from.host<void>(), to.host<void>(), nchw, to_nhwc); return true;
    case 4: transpose<uint32_t>(from.host<void>(), to.host<void>(), nchw, to_nhwc); return true;
    case 8: transpose<uint64_t>(from.host<void>(), to.host<void>(), nchw, to_nhwc); return true;
    default: return false;
    }
}

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

// QX_ENGINE=opencv keeps processor sessions on OpenCV's DNN: the reference the
// XNNPACK results are checked against, and a way out on a board where they differ.
bool xnnpack_wanted() {
    const char* choice = std::getenv("QX_ENGINE");
    return !choice || std::strcmp(choice, "opencv") != 0;
}

// The configured threads, but never more than the processor has cores.
int thread_count(int requested) {
    const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    return std::clamp(requested, 1, cores);
}

bool read_regular_file(const char* path, std::vector<char>& bytes) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat status;
    bool ok = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0;
    if (ok) {
        bytes.resize(static_cast<size_t>(status.st_size));
        size_t done = 0;
        while (ok && done < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            ok = n > 0;
            if (ok) done += static_cast<size_t>(n);
        }
    }
    ::close(fd);
    return ok;
}

}  // namespace

// ---------------------------------------------------------------- Tensor

Tensor::Tensor(const Tensor* tensor, DimensionType type, bool allocMemory) : dim_type_(type) {
    if (tensor) {
        type_ = tensor->type_;
        shape_ = reorder_shape(tensor->shape_, tensor->dim_type_, type);
    }
    if (allocMemory) data_ = raw_bytes(size());
}

Tensor::Tensor(const std::vector<int>& shape, halide_type_t type, DimensionType dimType)
    : shape_(shape), type_(type), dim_type_(dimType), data_(zeroed_bytes(size())) {}

Tensor::~Tensor() = default;

int Tensor::elementSize() const {
    int64_t count = 1;
    for (int d : shape_) count *= std::max(d, 0);
    return static_cast<int>(std::min<int64_t>(count, INT_MAX));
}

bool Tensor::copyFromHostTensor(const Tensor* hostTensor) { return hostTensor && copy_values(*hostTensor, *this); }

bool Tensor::copyToHostTensor(Tensor* hostTensor) const { return hostTensor && copy_values(*this, *hostTensor); }

void Tensor::reset(const std::vector<int>& shape, halide_type_t type) {
    shape_ = shape;
    type_ = type;
    data_ = zeroed_bytes(size());
}

// ---------------------------------------------------------------- Session

class Session {
public:
    std::unique_ptr<XnnNetwork> xnn;  // null: the session runs on OpenCV's net
    std::string description;
    std::string input_name;
    std::unique_ptr<Tensor> input;  // null for a model without inputs
    std::vector<cv::String> output_names;
    std::vector<std::unique_ptr<Tensor>> outputs;  // parallel to output_names
};

// ---------------------------------------------------------------- Interpreter

struct Interpreter::Impl {
    // The model's bytes: the graph's initializers point into them, and OpenCV's
    // net is read from them only when a session needs it, so that an XNNPACK
    // session does not hold a second copy of the weights in OpenCV's form.
    std::vector<char> bytes;
    ONNX_GRAPH graph;
    std::optional<cv::dnn::Net> net;
    std::string cache_file;
    size_t cache_key_size = 0;
    std::unique_ptr<Session> session;

    // A graph that OpenCV folds away entirely loads as an empty net; its
    // sessions then simply have nothing to run.
    cv::dnn::Net& opencv_net() {
        if (!net) net = cv::dnn::readNetFromONNX(bytes.data(), bytes.size());
        return *net;
    }

    // One forward pass; the outputs are copied into the session's tensors, whose
    // addresses stay the same for the session's life.
    bool run(Session& s) {
        if (s.xnn) return run_xnnpack(s);
        if (s.input) {
            cv::Mat blob(s.input->shape_, CV_32F, s.input->data_.get());
            opencv_net().setInput(blob, s.input_name);
        }
        if (s.output_names.empty()) return true;
        std::vector<cv::Mat> results;
        opencv_net().forward(results, s.output_names);
        if (results.size() != s.output_names.size()) return false;
        if (s.outputs.empty())
            for (size_t i = 0; i < results.size(); ++i)
                s.outputs.push_back(std::make_unique<Tensor>(std::vector<int>(), halide_type_t(), Tensor::CAFFE));
        for (size_t i = 0; i < results.size(); ++i) {
            cv::Mat result = results[i].isContinuous() ? results[i] : results[i].clone();
            const auto type = halide_type_of_depth(result.depth());
            if (!type || result.channels() != 1) return false;
            std::vector<int> shape(result.size.p, result.size.p + result.dims);
            Tensor& out = *s.outputs[i];
            if (out.shape_ != shape || out.type_ != *type) out.reset(shape, *type);
            std::memcpy(out.data_.get(), result.data, out.size());
        }
        return true;
    }

    bool run_xnnpack(Session& s) {
        if (!s.xnn->run(s.input->host<float>())) return false;
        const auto& results = s.xnn->outputs();
        if (s.outputs.empty())
            for (size_t i = 0; i < results.size(); ++i)
                s.outputs.push_back(std::make_unique<Tensor>(results[i].shape, halide_type_t(), Tensor::CAFFE));
        for (size_t i = 0; i < results.size(); ++i)
            std::memcpy(s.outputs[i]->data_.get(), results[i].data, s.outputs[i]->size());
        return true;
    }

    // The processor session on XNNPACK, or null (with one log line) when the
    // model holds something it cannot run: OpenCV's net then serves instead.
    std::unique_ptr<XnnNetwork> try_xnnpack(const std::vector<int>& input_shape, int threads) {
        std::string why;
        auto network = XnnNetwork::create(graph, input_shape, threads, why);
        if (!network) logger->info("engine: XNNPACK cannot run the model ({}), using OpenCV DNN on the processor", why);
        return network;
    }
};

Interpreter::Interpreter(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Interpreter::~Interpreter() = default;

Interpreter* Interpreter::createFromBuffer(const void* buffer, size_t size) {
    try {
        if (!buffer) return nullptr;
        auto impl = std::make_unique<Impl>();
        impl->bytes.assign(static_cast<const char*>(buffer), static_cast<const char*>(buffer) + size);
        if (!onnx_read_graph(impl->bytes.data(), impl->bytes.size(), impl->graph)) return nullptr;
        return new Interpreter(std::move(impl));
    } catch (...) {
        return nullptr;
    }
}

Interpreter* Interpreter::createFromFile(const char* file) {
    if (!file) return nullptr;
    try {
        auto impl = std::make_unique<Impl>();
        if (!read_regular_file(file, impl->bytes)) return nullptr;
        if (!onnx_read_graph(impl->bytes.data(), impl->bytes.size(), impl->graph)) return nullptr;
        return new Interpreter(std::move(impl));
    } catch (...) {
        return nullptr;
    }
}

void Interpreter::destroy(Interpreter* net) { delete net; }

void Interpreter::setCacheFile(const char* cacheFile, size_t keySize) {
    impl_->cache_file = cacheFile ? cacheFile : "";
    impl_->cache_key_size = keySize;
}

Session* Interpreter::createSession(const ScheduleConfig& config) {
    if (impl_->session) return nullptr;
    const bool opencl = config.type == MNN_FORWARD_OPENCL;
    try {
        std::optional<QuietOpenCvLog> quiet;
        if (opencl) {
            quiet.emplace();
            if (!opencl_gpu_usable()) return nullptr;
        }
        auto session = std::make_unique<Session>();
        if (!impl_->graph.inputs.empty()) {
            const ONNX_VALUE_INFO& declared = impl_->graph.inputs.front();
            std::vector<int> shape;
            for (size_t i = 0; i < declared.dims.size(); ++i) {
                int64_t dim = declared.dims[i];
                if (dim < 0 && i == 0) dim = 1;
                if (dim <= 0 || dim > INT_MAX) return nullptr;
                shape.push_back(static_cast<int>(dim));
            }
            if (shape.empty()) return nullptr;
            session->input_name = declared.name;
            session->input = std::make_unique<Tensor>(shape, halide_type_t(), Tensor::CAFFE);
        }
        const bool reference = config.backendConfig && config.backendConfig->opencvOnProcessor;
        if (!opencl && session->input && !reference && xnnpack_wanted()) {
            const int threads = thread_count(config.numThread);
            session->xnn = impl_->try_xnnpack(session->input->shape_, threads);
            if (session->xnn) {
                session->output_names.assign(impl_->graph.outputs.begin(), impl_->graph.outputs.end());
                session->description = "XNNPACK, " + std::to_string(session->xnn->threads()) + " thread" +
                                       (session->xnn->threads() == 1 ? "" : "s") + ", " + XnnNetwork::kernel_isa();
            }
        }
        if (!session->xnn) {
            cv::dnn::Net& net = impl_->opencv_net();
            for (const std::string& name : impl_->graph.outputs)
                if (net.getLayerId(name) >= 0) session->output_names.push_back(name);
            net.setPreferableTarget(opencl ? cv::dnn::DNN_TARGET_OPENCL : cv::dnn::DNN_TARGET_CPU);
            session->description = std::string("OpenCV DNN, ") + (opencl ? "OpenCL" : "processor") + ", " +
                                   std::to_string(cv::getNumThreads()) + " threads";
        }
        // The first pass allocates the layers and tells the output shapes; a
        // model that cannot run gives no session rather than failing later.
        if (!impl_->run(*session)) return nullptr;
        impl_->session = std::move(session);
        return impl_->session.get();
    } catch (...) {
        return nullptr;
    }
}

bool Interpreter::releaseSession(Session* session) {
    if (!session || session != impl_->session.get()) return false;
    impl_->session.reset();
    return true;
}

ErrorCode Interpreter::runSession(Session* session) const {
    if (!session || session != impl_->session.get()) return INVALID_VALUE;
    try {
        return impl_->run(*session) ? NO_ERROR : COMPUTE_SIZE_ERROR;
    } catch (const std::bad_alloc&) {
        return OUT_OF_MEMORY;
    } catch (...) {
        return COMPUTE_SIZE_ERROR;
    }
}

std::string Interpreter::describeSession(const Session* session) const {
    if (!session || session != impl_->session.get()) return std::string();
    return session->description;
}

Tensor* Interpreter::getSessionInput(const Session* session, const char* name) {
    if (!session || session != impl_->session.get() || !session->input) return nullptr;
    if (name && session->input_name != name) return nullptr;
    return session->input.get();
}

Tensor* Interpreter::getSessionOutput(const Session* session, const char* name) {
    if (!session || session != impl_->session.get()) return nullptr;
    for (size_t i = 0; i < session->output_names.size(); ++i)
        if (!name || session->output_names[i] == name) return session->outputs[i].get();
    return nullptr;
}

}  // namespace MNN
