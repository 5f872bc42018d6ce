// The processor back ends side by side: XNNPACK (the default) and OpenCV's
// DNN (the reference and fall-back). Forward passes alone and interleaved, at
// 1 and 2 threads; load time and resident memory of a fresh process per back
// end; and the agreement of the two over every val photo.
#include "engine/embedded_model.h"
#include "engine/libclsretri.h"
#include "engine/mnn_runtime.h"
#include "support/timing.h"

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

// XNNPACK's float32 plan, OpenCV's DNN, and XNNPACK's int8 plan (int8_bench.cpp
// sets the two plans against each other in alternation).
const char* const kBackends[] = {"fp32", "opencv", "int8"};

const cv::Mat& photo() {
    static const cv::Mat picture = cv::imread(QX_SHARED_DIR "/data/grocery/train/Fruit/Banana/Banana_001.jpg");
    return picture;
}

void choose_backend(const char* backend) { setenv("QX_ENGINE", backend, 1); }

// One runtime session of the embedded model with its input already filled:
// the forward pass alone, without the engine's pre- and postprocessing.
class Session {
public:
    Session(const char* backend, int threads) {
        interpreter_.reset(MNN::Interpreter::createFromBuffer(embedded_model_data, embedded_model_size));
        MNN::BackendConfig choice;
        choice.opencvOnProcessor = std::strcmp(backend, "opencv") == 0;
        choice.processorPlan = choice.opencvOnProcessor ? nullptr : backend;
        MNN::ScheduleConfig config;
        config.numThread = threads;
        config.backendConfig = &choice;
        if (interpreter_) session_ = interpreter_->createSession(config);
        if (!session_) return;
        input_ = interpreter_->getSessionInput(session_, nullptr);
        if (!photo().empty() && CLSRETRI_preprocess_opencv({photo()}, input_, nullptr) != 0) session_ = nullptr;
    }
    bool ok() const { return session_ != nullptr; }
    bool forward() { return interpreter_->runSession(session_) == MNN::NO_ERROR; }
    std::string describe() const { return interpreter_->describeSession(session_); }

private:
    std::unique_ptr<MNN::Interpreter> interpreter_;
    MNN::Session* session_ = nullptr;
    MNN::Tensor* input_ = nullptr;
};

struct Timings {
    std::vector<double> wall, cpu;
    template <typename Work>
    double time(Work&& work) {
        const double cpu_start = process_cpu_ms();
        const auto start = std::chrono::steady_clock::now();
        work();
        wall.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        cpu.push_back(process_cpu_ms() - cpu_start);
        return wall.back();
    }
};

bool ready(benchmark::State& state, const Session& session) {
    const char* problem = photo().empty() ? "grocery photo not found under QX_SHARED_DIR"
                          : !session.ok() ? "no session"
                                          : nullptr;
    if (problem) state.SkipWithError(problem);
    return !problem;
}

// OpenCV's thread count is the process's; it is set for both, though only
// OpenCV reads it (XNNPACK has its own pool of the configured size).
void BM_Forward(benchmark::State& state) {
    const char* backend = kBackends[state.range(0)];
    const int threads = static_cast<int>(state.range(1));
    cv::setNumThreads(threads);
    Session session(backend, threads);
    if (!ready(state, session)) return;
    state.SetLabel(session.describe());
    Timings t;
    for (auto _ : state) state.SetIterationTime(t.time([&] { session.forward(); }) / 1000.0);
    state.counters["median_ms"] = median(t.wall);
    state.counters["median_cpu_ms"] = median(t.cpu);
}
BENCHMARK(BM_Forward)
    ->ArgNames({"fp32_0_opencv1_int8_2", "threads"})
    ->ArgsProduct({{0, 1, 2}, {1, 2}})
    ->UseManualTime()
    ->MinTime(2.0)
    ->Unit(benchmark::kMillisecond);

// Both in alternation within each iteration, the order swapped every time, so
// that load from elsewhere on the machine falls on both alike.
void BM_ForwardInterleaved(benchmark::State& state) {
    const int threads = static_cast<int>(state.range(0));
    cv::setNumThreads(threads);
    Session xnnpack("fp32", threads), opencv("opencv", threads);
    if (!ready(state, xnnpack) || !ready(state, opencv)) return;
    state.SetLabel(xnnpack.describe() + " | " + opencv.describe());
    Timings x, o;
    bool xnnpack_first = true;
    for (auto _ : state) {
        double spent = 0;
        if (xnnpack_first) {
            spent += x.time([&] { xnnpack.forward(); });
            spent += o.time([&] { opencv.forward(); });
        } else {
            spent += o.time([&] { opencv.forward(); });
            spent += x.time([&] { xnnpack.forward(); });
        }
        xnnpack_first = !xnnpack_first;
        state.SetIterationTime(spent / 1000.0);
    }
    state.counters["xnnpack_ms"] = median(x.wall);
    state.counters["opencv_ms"] = median(o.wall);
    state.counters["speedup"] = median(x.wall) > 0 ? median(o.wall) / median(x.wall) : 0;
    state.counters["xnnpack_cpu_ms"] = median(x.cpu);
    state.counters["opencv_cpu_ms"] = median(o.cpu);
    state.counters["speedup_cpu"] = median(x.cpu) > 0 ? median(o.cpu) / median(x.cpu) : 0;
}
BENCHMARK(BM_ForwardInterleaved)
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(2)
    ->UseManualTime()
    ->MinTime(4.0)
    ->Unit(benchmark::kMillisecond);

long status_kb(const char* key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const size_t length = std::strlen(key);
    while (std::getline(status, line))
        if (line.compare(0, length, key) == 0) return std::atol(line.c_str() + length + 1);
    return -1;
}

// Child mode: in a fresh process, Init the engine on the back end QX_ENGINE
// names, run one picture, and print the load time (Init includes one forward
// pass, which checks that the model runs) and the resident memory the engine
// added.
int measure_load() {
    const cv::Mat picture = photo();
    const long before_kb = status_kb("VmRSS");
    const double cpu_start = process_cpu_ms();
    const auto start = std::chrono::steady_clock::now();
    void* handle = nullptr;
    if (CLSRETRI_Init(nullptr, CLSRETRI_DEVICE_CPU, &handle) != 0) return 1;
    const double load_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    const double load_cpu_ms = process_cpu_ms() - cpu_start;
    const long loaded_kb = status_kb("VmRSS");
    _CLSRETRI_OUTPUT_ output;
    if (CLSRETRI_Process({picture}, &output, handle) != 0) return 1;
    const long ran_kb = status_kb("VmRSS");
    std::fprintf(stderr, "QXLOAD %.1f %.1f %ld %ld %ld\n", load_ms, load_cpu_ms, loaded_kb - before_kb, ran_kb - before_kb,
                 status_kb("VmHWM") - before_kb);
    CLSRETRI_Release(&handle);
    return 0;
}

std::string self_path() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

void BM_LoadAndMemory(benchmark::State& state) {
    const char* backend = kBackends[state.range(0)];
    std::vector<double> load, load_cpu, loaded, ran, peak;
    for (auto _ : state) {
        const std::string command = std::string("QX_ENGINE=") + backend + " " +
                                    "'" + self_path() + "' --measure-load 2>&1 >/dev/null";
        FILE* child = popen(command.c_str(), "r");
        if (!child) {
            state.SkipWithError("cannot start the measuring process");
            return;
        }
        char line[256];
        double ms = 0, cpu_ms = 0;
        long a = 0, b = 0, c = 0;
        bool found = false;
        while (std::fgets(line, sizeof line, child))
            if (std::sscanf(line, "QXLOAD %lf %lf %ld %ld %ld", &ms, &cpu_ms, &a, &b, &c) == 5) found = true;
        if (pclose(child) != 0 || !found) {
            state.SkipWithError("the measuring process failed");
            return;
        }
        load.push_back(ms);
        load_cpu.push_back(cpu_ms);
        loaded.push_back(a / 1024.0);
        ran.push_back(b / 1024.0);
        peak.push_back(c / 1024.0);
    }
    state.SetLabel(backend);
    state.counters["load_ms"] = median(load);
    state.counters["load_cpu_ms"] = median(load_cpu);
    state.counters["rss_after_init_mb"] = median(loaded);
    state.counters["rss_after_forward_mb"] = median(ran);
    state.counters["peak_rss_mb"] = median(peak);
}
// Each run starts its own processes and reads every val photo: once is enough, whatever
// repetitions `make bench` asks of the others.
BENCHMARK(BM_LoadAndMemory)
    ->ArgName("fp32_0_opencv1_int8_2")
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Iterations(3)
    ->Repetitions(1)
    ->Unit(benchmark::kMillisecond);

// Every val photo through both engines: the largest feature difference, the
// lowest cosine, and how many photos changed their top class or top ten.
void BM_ValAgreement(benchmark::State& state) {
    std::vector<std::string> photos;
    std::ifstream list(QX_SHARED_DIR "/data/grocery/val.txt");
    for (std::string line; std::getline(list, line);)
        if (const size_t comma = line.find(','); comma != std::string::npos) photos.push_back(line.substr(0, comma));
    void* engines[2] = {nullptr, nullptr};
    for (int i = 0; i < 2; ++i) {
        choose_backend(kBackends[i]);
        CLSRETRI_Init(nullptr, CLSRETRI_DEVICE_CPU, &engines[i]);
    }
    unsetenv("QX_ENGINE");
    if (photos.empty() || !engines[0] || !engines[1]) {
        state.SkipWithError("no val photos or no engine");
    } else {
        double worst = 0, lowest_cosine = 1;
        int top1_changed = 0, top10_changed = 0, compared = 0;
        for (auto _ : state) {
            for (const std::string& name : photos) {
                const cv::Mat picture = cv::imread(QX_SHARED_DIR "/data/grocery/" + name);
                if (picture.empty()) continue;
                _CLSRETRI_OUTPUT_ out[2];
                if (CLSRETRI_Process({picture}, &out[0], engines[0]) != 0 ||
                    CLSRETRI_Process({picture}, &out[1], engines[1]) != 0)
                    continue;
                ++compared;
                double dot = 0, n0 = 0, n1 = 0;
                for (int i = 0; i < CLSRETRI_FEATURE_SIZE; ++i) {
                    const double a = out[0].feature[i], b = out[1].feature[i];
                    dot += a * b;
                    n0 += a * a;
                    n1 += b * b;
                    worst = std::max(worst, std::fabs(a - b));
                }
                lowest_cosine = std::min(lowest_cosine, dot / std::sqrt(n0 * n1));
                top1_changed += out[0].cls[0].class_index != out[1].cls[0].class_index;
                bool same = true;
                for (int i = 0; i < CLSRETRI_TOP_CLASSES; ++i)
                    same = same && out[0].cls[i].class_index == out[1].cls[i].class_index;
                top10_changed += !same;
            }
        }
        state.counters["photos"] = compared;
        state.counters["max_abs_diff"] = worst;
        state.counters["one_minus_cosine"] = 1.0 - lowest_cosine;
        state.counters["top1_changed"] = top1_changed;
        state.counters["top10_changed"] = top10_changed;
    }
    for (void*& engine : engines)
        if (engine) CLSRETRI_Release(&engine);
}
BENCHMARK(BM_ValAgreement)->Iterations(1)->Repetitions(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--measure-load") == 0) return measure_load();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
