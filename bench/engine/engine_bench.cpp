// Recognition engine: a whole CLSRETRI_Process on a 640 x 480 photo against a
// bare OpenCV forward of the same model on an already prepared blob (the goal:
// under 5 % engine overhead), and the preprocessing alone.
#include "engine/embedded_model.h"
#include "engine/libclsretri.h"
#include "engine/mnn_runtime.h"
#include "support/timing.h"

#include <benchmark/benchmark.h>
#include <opencv2/dnn.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
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

// The engine on the processor's default back end (XNNPACK), or with
// `on_opencv` on OpenCV's DNN, the back end the bare forward below uses.
class Engine {
public:
    explicit Engine(bool on_opencv = false) {
        if (on_opencv) setenv("QX_ENGINE", "opencv", 1);
        CLSRETRI_Init(nullptr, CLSRETRI_DEVICE_CPU, &handle_);
        unsetenv("QX_ENGINE");
    }
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

// The two in alternation within each iteration, so that load from elsewhere
// on the machine falls on both alike; reports the medians of both, in wall and
// in processor time, and the engine's overhead over the bare forward. The
// engine runs on OpenCV here too, so that the difference is the engine's own.
void BM_EngineVersusBareForward(benchmark::State& state) {
    Engine engine(true);
    if (!ready(state, engine)) return;
    BareNet bare;
    const _CLSRETRI_INPUT_ input{camera_sized_photo()};
    _CLSRETRI_OUTPUT_ output;
    std::vector<double> engine_ms, bare_ms, engine_cpu_ms, bare_cpu_ms;
    using clock = std::chrono::steady_clock;
    const auto timed = [](std::vector<double>& wall, std::vector<double>& cpu, auto&& work) {
        const double cpu_start = process_cpu_ms();
        const auto start = clock::now();
        work();
        wall.push_back(std::chrono::duration<double, std::milli>(clock::now() - start).count());
        cpu.push_back(process_cpu_ms() - cpu_start);
    };
    const auto run_engine = [&] { CLSRETRI_Process(input, &output, engine.handle()); };
    const auto run_bare = [&] { bare.forward(); };
    bool engine_first = true;
    for (auto _ : state) {
        if (engine_first) {
            timed(engine_ms, engine_cpu_ms, run_engine);
            timed(bare_ms, bare_cpu_ms, run_bare);
        } else {
            timed(bare_ms, bare_cpu_ms, run_bare);
            timed(engine_ms, engine_cpu_ms, run_engine);
        }
        engine_first = !engine_first;
        state.SetIterationTime((engine_ms.back() + bare_ms.back()) / 1000.0);
    }
    const auto overhead = [](double engine_median, double bare_median) {
        return bare_median > 0 ? (engine_median / bare_median - 1.0) * 100.0 : 0.0;
    };
    state.counters["engine_ms"] = median(engine_ms);
    state.counters["bare_ms"] = median(bare_ms);
    state.counters["overhead_pct"] = overhead(median(engine_ms), median(bare_ms));
    state.counters["engine_cpu_ms"] = median(engine_cpu_ms);
    state.counters["bare_cpu_ms"] = median(bare_cpu_ms);
    state.counters["overhead_cpu_pct"] = overhead(median(engine_cpu_ms), median(bare_cpu_ms));
}
BENCHMARK(BM_EngineVersusBareForward)->UseManualTime()->MinTime(3.0)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
