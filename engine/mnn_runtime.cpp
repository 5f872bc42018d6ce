// The runtime layer of mnn_runtime.h for ONNX models: tensors, the
// interpreter, and the choice of back end for each session (runtime_session.h):
// XNNPACK on the processor, OpenCV's DNN on OpenCL and as the fall-back.
#include "engine/mnn_runtime.h"

#include "engine/onnx_check.h"
#include "engine/onnx_info.h"
#include "engine/precision.h"
#include "engine/runtime_session.h"
#include "support/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <cstdlib>
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

enum class ProcessorBackend { OPENCV, XNNPACK_FP32, XNNPACK_INT8 };

// The caller's choice, else QX_ENGINE's, else the build's default. QX_ENGINE=
// opencv keeps processor sessions on OpenCV's DNN: the reference the XNNPACK
// results are checked against, and a way out on a board where they differ.
ProcessorBackend processor_backend(const BackendConfig* config) {
    if (config && config->opencvOnProcessor) return ProcessorBackend::OPENCV;
    const char* choice = config && config->processorPlan ? config->processorPlan : std::getenv("QX_ENGINE");
    const std::string chosen = choice ? choice : "";
    if (chosen == "opencv") return ProcessorBackend::OPENCV;
    if (chosen == "fp32") return ProcessorBackend::XNNPACK_FP32;
    if (chosen == "int8") return ProcessorBackend::XNNPACK_INT8;
    return kDefaultPrecision == ENGINE_PRECISION::INT8 ? ProcessorBackend::XNNPACK_INT8 : ProcessorBackend::XNNPACK_FP32;
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

// The graph of the model's bytes, checked before any back end sees it: a model
// the check refuses is never handed to OpenCV, which can die on one.
bool read_model(RUNTIME_MODEL& model) {
    if (!onnx_read_graph(model.bytes.data(), model.bytes.size(), model.graph)) return false;
    std::string why;
    if (onnx_check_graph(model.graph, why)) return true;
    logger->info("engine: the model is refused ({})", why);
    return false;
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
    std::unique_ptr<RuntimeSession> backend;
    std::string input_name;
    std::unique_ptr<Tensor> input;  // null for a model without inputs
    std::vector<std::unique_ptr<Tensor>> outputs;  // in the order the back end gives them
    std::vector<std::string> output_names;
};

// ---------------------------------------------------------------- Interpreter

struct Interpreter::Impl {
    RUNTIME_MODEL model;
    std::string cache_file;
    size_t cache_key_size = 0;
    std::unique_ptr<Session> session;

    // One forward pass; the outputs are copied into the session's tensors, whose
    // addresses stay the same for the session's life.
    static bool run(Session& s) {
        if (!s.backend->run(s.input ? s.input->host<float>() : nullptr)) return false;
        const std::vector<RUNTIME_OUTPUT>& results = s.backend->outputs();
        if (s.outputs.empty()) {
            for (const RUNTIME_OUTPUT& result : results) {
                s.outputs.push_back(std::make_unique<Tensor>(std::vector<int>(), halide_type_t(), Tensor::CAFFE));
                s.output_names.push_back(result.name);
            }
        }
        if (results.size() != s.outputs.size()) return false;
        for (size_t i = 0; i < results.size(); ++i) {
            Tensor& out = *s.outputs[i];
            if (out.shape_ != results[i].shape || out.type_ != results[i].type) out.reset(results[i].shape, results[i].type);
            std::memcpy(out.data_.get(), results[i].data, out.size());
        }
        return true;
    }

    // The processor session on XNNPACK, or null (with one log line) when the
    // model holds something it cannot run: OpenCV's net then serves instead.
    // An int8 plan the model does not allow (one log line) gives way to float32.
    std::unique_ptr<RuntimeSession> try_xnnpack(const std::vector<int>& input_shape, RUNTIME_THREADS threads, bool int8) {
        std::string why;
        if (int8) {
            INT8_BACKBONE backbone;
            std::unique_ptr<RuntimeSession> session;
            if (int8_backbone_embedded(model.graph, backbone, why))
                session = runtime_session_xnnpack(model, input_shape, threads, &backbone, why);
            if (session) return session;
            logger->info("engine: the int8 plan cannot run the model ({}), using float32", why);
        }
        auto session = runtime_session_xnnpack(model, input_shape, threads, nullptr, why);
        if (!session) logger->info("engine: XNNPACK cannot run the model ({}), using OpenCV DNN on the processor", why);
        return session;
    }
};

Interpreter::Interpreter(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Interpreter::~Interpreter() = default;

Interpreter* Interpreter::createFromBuffer(const void* buffer, size_t size) {
    try {
        if (!buffer) return nullptr;
        auto impl = std::make_unique<Impl>();
        impl->model.bytes.assign(static_cast<const char*>(buffer), static_cast<const char*>(buffer) + size);
        if (!read_model(impl->model)) return nullptr;
        return new Interpreter(std::move(impl));
    } catch (...) {
        return nullptr;
    }
}

Interpreter* Interpreter::createFromFile(const char* file) {
    if (!file) return nullptr;
    try {
        auto impl = std::make_unique<Impl>();
        if (!read_regular_file(file, impl->model.bytes)) return nullptr;
        if (!read_model(impl->model)) return nullptr;
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
        auto session = std::make_unique<Session>();
        std::vector<int> shape;
        if (!impl_->model.graph.inputs.empty()) {
            const ONNX_VALUE_INFO& declared = impl_->model.graph.inputs.front();
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
        const ProcessorBackend backend = processor_backend(config.backendConfig);
        if (!opencl && session->input && backend != ProcessorBackend::OPENCV)
            session->backend = impl_->try_xnnpack(
                shape, {thread_count(config.numThread), config.backendConfig && config.backendConfig->chooseThreads},
                backend == ProcessorBackend::XNNPACK_INT8);
        if (!session->backend) session->backend = runtime_session_opencv(impl_->model, session->input_name, shape, opencl);
        if (!session->backend) return nullptr;
        // The first pass allocates the layers and tells the output shapes; a
        // model that cannot run gives no session rather than failing later.
        if (!Impl::run(*session)) return nullptr;
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
    return session->backend->describe();
}

const char* Interpreter::sessionPrecision(const Session* session) const {
    if (!session || session != impl_->session.get()) return "";
    return session->backend->precision();
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
