#pragma once
// The inference runtime as the engine sees it: exactly the part of its C++
// interface that libclsretri.cpp calls, under the runtime's own names. This
// build implements it for ONNX models in mnn_runtime.cpp, which runs each
// session on one of the back ends of runtime_session.h; on a board that ships
// the vendor runtime, its headers and library take the place of this header
// and those files, and the engine stays as it is.
//
// Processor sessions run on XNNPACK (session_xnnpack.cpp) with ScheduleConfig::
// numThread threads, at most one per core, in float32 or with the backbone in
// int8 (BackendConfig::processorPlan, else QX_ENGINE=fp32 or int8, else the
// build's default, precision.h); a model XNNPACK cannot run,
// BackendConfig::opencvOnProcessor, or the environment variable
// QX_ENGINE=opencv puts them on OpenCV's DNN (session_opencv.cpp) instead.
// OpenCL sessions always run on OpenCV's DNN.
//
// Limits of this implementation:
// - An interpreter serves one live session at a time; a session serves one
//   runSession call at a time.
// - On OpenCV's DNN ScheduleConfig::numThread is not applied: OpenCV's thread
//   count belongs to the whole process (and so to the host), not to one session.
// - Session tensors live in host memory in NCHW order; CAFFE_C4 is accepted
//   and treated as NCHW.
// - A session's input takes the shape the model declares (an open batch
//   dimension becomes 1); a model whose other input dimensions are open, or
//   that cannot run once on a zero input, yields no session.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

enum MNNForwardType {
    MNN_FORWARD_CPU = 0,
    MNN_FORWARD_OPENCL = 3,
};

enum halide_type_code_t : uint8_t {
    halide_type_int = 0,
    halide_type_uint = 1,
    halide_type_float = 2,
};

struct halide_type_t {
    halide_type_code_t code = halide_type_float;
    uint8_t bits = 32;
    uint16_t lanes = 1;
    halide_type_t() = default;
    halide_type_t(halide_type_code_t c, uint8_t b, uint16_t l = 1) : code(c), bits(b), lanes(l) {}
    int bytes() const { return (bits + 7) / 8; }
    bool operator==(const halide_type_t& o) const { return code == o.code && bits == o.bits && lanes == o.lanes; }
    bool operator!=(const halide_type_t& o) const { return !(*this == o); }
};

namespace MNN {

enum ErrorCode {
    NO_ERROR = 0,
    OUT_OF_MEMORY = 1,
    NOT_SUPPORT = 2,
    COMPUTE_SIZE_ERROR = 3,
    INVALID_VALUE = 5,
};

// This build's own: the back end of a processor session, for comparisons.
struct BackendConfig {
    bool opencvOnProcessor = false;  // OpenCV's DNN (the reference) instead of XNNPACK
    // The XNNPACK plan, "fp32" or "int8" (precision.h); null takes
    // QX_ENGINE's choice, and without one the build's default.
    const char* processorPlan = nullptr;
    // numThread is the most: the XNNPACK session times one thread against it,
    // keeps the better, and keeps checking (thread_choice.h).
    bool chooseThreads = false;
};

struct ScheduleConfig {
    MNNForwardType type = MNN_FORWARD_CPU;
    int numThread = 4;
    MNNForwardType backupType = MNN_FORWARD_CPU;
    BackendConfig* backendConfig = nullptr;
};

class Session;

class Tensor {
public:
    enum DimensionType {
        TENSORFLOW,  // NHWC
        CAFFE,       // NCHW
        CAFFE_C4,    // NC4HW4 on the vendor runtime; plain NCHW here
    };

    // A host tensor with the shape of `tensor` in the layout `type` (a 4-D shape
    // is reordered between NCHW and NHWC) and its element type; its memory is
    // not initialised, or absent when allocMemory is false.
    Tensor(const Tensor* tensor, DimensionType type = CAFFE, bool allocMemory = true);
    // A tensor of the given shape (in the order of `type`) with zeroed memory.
    Tensor(const std::vector<int>& shape, halide_type_t type, DimensionType dimType);
    ~Tensor();
    Tensor(const Tensor&) = delete;
    Tensor& operator=(const Tensor&) = delete;

    std::vector<int> shape() const { return shape_; }
    DimensionType getDimensionType() const { return dim_type_; }
    halide_type_t getType() const { return type_; }
    int elementSize() const;
    size_t size() const { return static_cast<size_t>(elementSize()) * type_.bytes(); }
    template <typename T>
    T* host() const {
        return reinterpret_cast<T*>(data_.get());
    }

    // Copy the values between this tensor and a host tensor of the same shape
    // and element type, converting between NCHW and NHWC where the two differ.
    bool copyFromHostTensor(const Tensor* hostTensor);
    bool copyToHostTensor(Tensor* hostTensor) const;

private:
    friend class Interpreter;
    void reset(const std::vector<int>& shape, halide_type_t type);

    std::vector<int> shape_;
    halide_type_t type_;
    DimensionType dim_type_ = CAFFE;
    std::unique_ptr<uint8_t[]> data_;
};

class Interpreter {
public:
    // Null when the file cannot be read or is not a model this runtime can run.
    static Interpreter* createFromFile(const char* file);
    // The bytes are parsed at once and not kept: the caller may free them.
    static Interpreter* createFromBuffer(const void* buffer, size_t size);
    static void destroy(Interpreter* net);
    ~Interpreter();
    Interpreter(const Interpreter&) = delete;
    Interpreter& operator=(const Interpreter&) = delete;

    // Names the graphics back end's cache; only remembered, as OpenCV keeps its
    // compiled kernels itself.
    void setCacheFile(const char* cacheFile, size_t keySize = 128);
    // Null when the chosen back end cannot serve: OpenCL without a usable GPU
    // device, a model that cannot run, or a session still alive.
    Session* createSession(const ScheduleConfig& config);
    bool releaseSession(Session* session);
    ErrorCode runSession(Session* session) const;
    // This build's own addition: which back end runs the session, with its
    // threads and kernels, e.g. "XNNPACK, 2 threads, x86 AVX2+FMA3".
    std::string describeSession(const Session* session) const;
    // This build's own: "fp32", or "int8" when the session runs the int8 plan.
    const char* sessionPrecision(const Session* session) const;
    // `name` null selects the first input or output.
    Tensor* getSessionInput(const Session* session, const char* name);
    Tensor* getSessionOutput(const Session* session, const char* name);

private:
    struct Impl;
    explicit Interpreter(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

namespace CV {

enum ImageFormat {
    RGBA = 0,
    RGB = 1,
    BGR = 2,
    GRAY = 3,
    BGRA = 4,
};

enum Filter {
    NEAREST = 0,
    BILINEAR = 1,
};

enum Wrap {
    CLAMP_TO_EDGE = 0,
    ZERO = 1,
};

struct Point {
    float fX;
    float fY;
};

// A 3 x 3 point-mapping matrix, row major; "post" operations apply after the
// ones already in the matrix.
class Matrix {
public:
    Matrix() { setIdentity(); }
    void setIdentity();
    void setScale(float sx, float sy);
    void postScale(float sx, float sy);
    void postScale(float sx, float sy, float px, float py);
    Point mapXY(float x, float y) const;
    float get(int index) const { return m_[index]; }

private:
    void postConcat(const float other[9]);
    float m_[9];
};

// Samples a picture into a tensor: every tensor pixel (x, y) is mapped through
// the matrix to a picture point, which is sampled, colour-converted, and
// written as (value - mean) * normal per destination channel.
class ImageProcess {
public:
    struct Config {
        Filter filterType = NEAREST;
        ImageFormat sourceFormat = RGBA;
        ImageFormat destFormat = RGBA;
        float mean[4] = {0.0f, 0.0f, 0.0f, 0.0f};
        float normal[4] = {1.0f, 1.0f, 1.0f, 1.0f};
        Wrap wrap = CLAMP_TO_EDGE;
    };

    static ImageProcess* create(const Config& config, const Tensor* dstTensor = nullptr);
    static void destroy(ImageProcess* process);
    ~ImageProcess() = default;

    void setMatrix(const Matrix& matrix) { matrix_ = matrix; }
    // `stride` is the picture's row length in bytes; 0 means tightly packed.
    // The destination must be a 4-D float tensor with as many channels as the
    // destination format has.
    ErrorCode convert(const uint8_t* source, int iw, int ih, int stride, Tensor* dest);

private:
    explicit ImageProcess(const Config& config) : config_(config) {}
    Config config_;
    Matrix matrix_;
};

}  // namespace CV
}  // namespace MNN
