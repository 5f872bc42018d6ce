// Recognition engine: a whole CLSRETRI_Process on a 640 x 480 photo against a
// bare OpenCV forward of the same model on an already prepared blob (the goal:
// under 5 % engine overhead), and the preprocessing alone.
#include "engine/embedded_model.h"
#include "engine/libclsretri.h"
#include "engine/mnn_runtime.h"

#include <benchmark/benchmark.h>
#include <opencv2/dnn.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <vector>

namespace {

// A grocery photo stretched to the camera's 640 x 480.
const cv::Mat& camera_sized_photo() {
    static const cv::Mat photo = [] {
        const cv::Mat original = cv::imread(QX_SHARED_DIR "/data/grocery/train/Fruit/Banana/Banana_001.jpg");
        cv::Mat resized;
        if (!original.empty()) cv::resize(original, resized, cv::Size(640, 480));
        return resized;
    }();
    return photo;
}

class Engine {
public:
    Engine() { CLSRETRI_Init(nullptr, CLSRETRI_DEVICE_CPU, &handle_); }
    ~Engine() { CLSRETRI_Release(&handle_); }
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;
    void* handle() const { return handle_; }

private:
    void* handle_ = nullptr;
};

// The model run the plain way: the bytes the library embeds, OpenCV's default
// backend and threads, the blob made once.
class BareNet {
public:
    BareNet() {
        net_ = cv::dnn::readNetFromONNX(reinterpret_cast<const char*>(embedded_model_data), embedded_model_size);
        blob_ = cv::dnn::blobFromImage(camera_sized_photo(), 1.0 / 255, cv::Size(224, 224), cv::Scalar(), true, false);
        forward();  // layer allocation happens on the first pass
    }
    void forward() {
        net_.setInput(blob_, "data");
        net_.forward(outputs_, names_);
    }
    const std::vector<cv::Mat>& outputs() const { return outputs_; }

private:
    cv::dnn::Net net_;
    cv::Mat blob_;
    std::vector<cv::String> names_{"prob", "512feature"};
    std::vector<cv::Mat> outputs_;
};

bool ready(benchmark::State& state, const Engine& engine) {
    if (camera_sized_photo().empty()) {
        state.SkipWithError("grocery photo not found under QX_SHARED_DIR");
        return false;
    }
    if (!engine.handle()) {
        state.SkipWithError("engine could not be created");
        return false;
    }
    return true;
}

void BM_EngineProcess(benchmark::State& state) {
    Engine engine;
    if (!ready(state, engine)) return;
    const _CLSRETRI_INPUT_ input{camera_sized_photo()};
    _CLSRETRI_OUTPUT_ output;
    for (auto _ : state) {
        if (CLSRETRI_Process(input, &output, engine.handle()) != 0) {
            state.SkipWithError("CLSRETRI_Process failed");
            break;
        }
        benchmark::DoNotOptimize(output);
    }
}
BENCHMARK(BM_EngineProcess)->Unit(benchmark::kMillisecond);

void BM_BareForward(benchmark::State& state) {
    Engine engine;  // only to share the readiness check
    if (!ready(state, engine)) return;
    BareNet bare;
    for (auto _ : state) {
        bare.forward();
        benchmark::DoNotOptimize(bare.outputs().data());
    }
}
BENCHMARK(BM_BareForward)->Unit(benchmark::kMillisecond);

void BM_PreprocessOpenCv(benchmark::State& state) {
    Engine engine;
    if (!ready(state, engine)) return;
    auto* handle = static_cast<CLSRETRI_HANDLE*>(engine.handle());
    const _CLSRETRI_INPUT_ input{camera_sized_photo()};
    for (auto _ : state) benchmark::DoNotOptimize(CLSRETRI_preprocess_opencv(input, handle->input_tensor, handle));
}
BENCHMARK(BM_PreprocessOpenCv)->Unit(benchmark::kMicrosecond);

double median(std::vector<double> values) {
    if (values.empty()) return 0.0;
    const auto middle = values.begin() + values.size() / 2;
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

// The two in alternation within each iteration, so that load from elsewhere
// on the machine falls on both alike; reports both medians and the overhead.
void BM_EngineVersusBareForward(benchmark::State& state) {
    Engine engine;
    if (!ready(state, engine)) return;
    BareNet bare;
    const _CLSRETRI_INPUT_ input{camera_sized_photo()};
    _CLSRETRI_OUTPUT_ output;
    std::vector<double> engine_ms, bare_ms;
    using clock = std::chrono::steady_clock;
    bool engine_first = true;
    for (auto _ : state) {
        const auto run_engine = [&] {
            const auto start = clock::now();
            CLSRETRI_Process(input, &output, engine.handle());
            engine_ms.push_back(std::chrono::duration<double, std::milli>(clock::now() - start).count());
        };
        const auto run_bare = [&] {
            const auto start = clock::now();
            bare.forward();
            bare_ms.push_back(std::chrono::duration<double, std::milli>(clock::now() - start).count());
        };
        if (engine_first) {
            run_engine();
            run_bare();
        } else {
            run_bare();
            run_engine();
        }
        engine_first = !engine_first;
        state.SetIterationTime((engine_ms.back() + bare_ms.back()) / 1000.0);
    }
    const double engine_median = median(engine_ms), bare_median = median(bare_ms);
    state.counters["engine_ms"] = engine_median;
    state.counters["bare_ms"] = bare_median;
    state.counters["overhead_pct"] = bare_median > 0 ? (engine_median / bare_median - 1.0) * 100.0 : 0.0;
}
BENCHMARK(BM_EngineVersusBareForward)->UseManualTime()->MinTime(3.0)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
