#pragma once
// The back ends of the runtime layer (mnn_runtime.cpp) behind one small
// interface: a session runs the forward pass of one model on one back end and
// nothing else. session_xnnpack.cpp runs it on the processor through XNNPACK,
// session_opencv.cpp through OpenCV's DNN (OpenCL, and the processor's
// fall-back). The runtime layer picks one; each is replaceable without
// touching the other.
#include "engine/int8_backbone.h"
#include "engine/mnn_runtime.h"
#include "engine/onnx_info.h"

#include <memory>
#include <string>
#include <vector>

// One model as an interpreter holds it, shared by its sessions: the bytes the
// graph's initializers point into, and the graph read from them.
struct RUNTIME_MODEL {
    std::vector<char> bytes;
    ONNX_GRAPH graph;
};

// One output of the last forward pass, in NCHW order for 4-D values; `data`
// stays valid until the next run.
struct RUNTIME_OUTPUT {
    std::string name;
    std::vector<int> shape;
    halide_type_t type;
    const void* data = nullptr;
};

// How a processor session runs: on `most` threads, or, with `choose`, on one
// thread or on `most` as its forwards show better (thread_choice.h), reading
// the machine's load with `ready_elsewhere` (null: threads_ready_elsewhere).
struct RUNTIME_THREADS {
    int most = 1;
    bool choose = false;
    int (*ready_elsewhere)() = nullptr;
};

class RuntimeSession {
public:
    virtual ~RuntimeSession() = default;
    // One forward pass on an NCHW input of the session's input shape (null
    // when the model has no input).
    virtual bool run(const float* input) = 0;
    virtual const std::vector<RUNTIME_OUTPUT>& outputs() const = 0;
    // e.g. "XNNPACK, 2 threads, x86 AVX2+FMA3"
    virtual std::string describe() const = 0;
    // The arithmetic the features come from: "fp32", or "int8" for the plan
    // whose backbone runs in int8. Features of the two differ slightly.
    virtual const char* precision() const { return "fp32"; }
};

// A processor session on XNNPACK, or null with `why` filled when the model
// holds something the importer does not take or XNNPACK cannot start here.
// With `int8` (int8_backbone.h), the backbone runs in int8.
std::unique_ptr<RuntimeSession> runtime_session_xnnpack(const RUNTIME_MODEL& model, const std::vector<int>& input_shape,
                                                        RUNTIME_THREADS threads, const INT8_BACKBONE* int8,
                                                        std::string& why);
// A session on OpenCV's DNN, on OpenCL or on the processor; null on OpenCL
// when there is no usable graphics processor. `input_name` is empty for a
// model without inputs. The model must outlive the session.
std::unique_ptr<RuntimeSession> runtime_session_opencv(const RUNTIME_MODEL& model, const std::string& input_name,
                                                       const std::vector<int>& input_shape, bool opencl);
