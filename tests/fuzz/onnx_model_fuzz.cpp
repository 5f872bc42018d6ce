// The model reader and the model check, then both back ends on every model
// the check passes: a model the check lets through may still be one a back
// end refuses, but never one that crashes it, divides by zero in it or makes
// it read past a weight (the promise the engine relies on before Init hands a
// model file to OpenCV). Every initializer the reader gives is also decoded,
// and must hold the values its dims say.
#include "fuzz_kit.h"

#include "engine/onnx_check.h"
#include "engine/onnx_info.h"
#include "engine/runtime_session.h"

#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>

#include <algorithm>
#include <string>
#include <vector>

namespace {

void check_initializers(const ONNX_GRAPH& graph) {
    for (const ONNX_TENSOR& t : graph.initializers) {
        std::vector<float> floats;
        std::vector<int64_t> ints;
        if (onnx_tensor_floats(t, floats))
            FUZZ_CHECK(static_cast<int64_t>(floats.size()) == t.element_count(), "float weight of another size");
        if (onnx_tensor_ints(t, ints))
            FUZZ_CHECK(static_cast<int64_t>(ints.size()) == t.element_count(), "integer weight of another size");
    }
}

size_t count_of(const std::vector<int>& shape) {
    size_t count = 1;
    for (int d : shape) count *= static_cast<size_t>(std::max(d, 0));
    return count;
}

// One forward pass of a session on zeros; its outputs must hold what their shapes say.
void run_once(RuntimeSession& session, const std::vector<int>& shape) {
    const std::vector<float> zeros(count_of(shape), 0.0f);
    if (!session.run(shape.empty() ? nullptr : zeros.data())) return;
    for (const RUNTIME_OUTPUT& output : session.outputs())
        FUZZ_CHECK(output.data || count_of(output.shape) == 0, "an output without values");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_enter_temp_dir();
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    cv::setNumThreads(1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    RUNTIME_MODEL model;
    model.bytes.assign(data, data + size);
    if (!onnx_read_graph(model.bytes.data(), model.bytes.size(), model.graph)) return 0;
    check_initializers(model.graph);
    std::string why;
    if (!onnx_check_graph(model.graph, why)) {
        FUZZ_CHECK(!why.empty(), "a model refused without a reason");
        return 0;
    }
    if (model.graph.inputs.size() > 1) return 0;
    // Open or outsized dimensions become 1, as the engine's own tests take them.
    std::vector<int> shape;
    std::string input_name;
    if (!model.graph.inputs.empty()) {
        input_name = model.graph.inputs[0].name;
        for (int64_t d : model.graph.inputs[0].dims) shape.push_back(d > 0 && d <= 224 ? static_cast<int>(d) : 1);
    }
    if (!shape.empty() || model.graph.inputs.empty()) {
        if (auto xnnpack = runtime_session_xnnpack(model, shape, RUNTIME_THREADS{}, nullptr, why))
            run_once(*xnnpack, shape);
    }
    try {
        if (auto opencv = runtime_session_opencv(model, input_name, shape, false)) run_once(*opencv, shape);
    } catch (const cv::Exception&) {
        // OpenCV refusing a model with an exception is what the engine expects.
    }
    return 0;
}
