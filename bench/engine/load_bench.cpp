// The engine's thread count as a host meets it.
//
// BM_OnePictureRun: a whole run of a fresh process (start, Init, one
// TestDetect, Close), on the default thread count and on one thread
// (QX_ENGINE_THREADS=1), the two alternated, their order swapped every
// iteration. Goal: the default within 1.10 x one thread's wall and processor
// time (the choice must cost the engine's start nothing).
//
// BM_TestDetect_UnderLoad: a whole TestDetect while other threads of the same
// process keep cores busy, on the engine's default thread count, on one
// thread and on two (QX_ENGINE_THREADS). The busy threads start after Init,
// so the default meets the load only after it has started. Goal: the default
// within 1.10 x the wall time of the better fixed count with each number of
// busy threads; on a quiet machine where two threads win, at least 1.3 x
// faster than one thread.
//
// cpu_ms is the processor time of the whole process less that of the busy
// threads, per recognition: the calling thread, the engine's workers and the
// library's own threads.
#include "qx_ai.h"

#include "support/timing.h"

#include <benchmark/benchmark.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

const char* const kPhoto = "photo-640x480.jpg";

// Threads that spin on arithmetic until told to stop, as a busy host's would.
class BusyThreads {
public:
    explicit BusyThreads(int count) : cpu_ms_(count, 0.0) {
        for (int i = 0; i < count; ++i)
            threads_.emplace_back([this, i] {
                const double start = clock_ms(CLOCK_THREAD_CPUTIME_ID);
                volatile double x = 1.0;
                while (!stop_.load(std::memory_order_relaxed))
                    for (int k = 0; k < 10000; ++k) x = x * 1.0000001 + 1e-9;
                cpu_ms_[i] = clock_ms(CLOCK_THREAD_CPUTIME_ID) - start;
            });
    }
    // Their processor time, once they have stopped.
    double stop() {
        stop_ = true;
        double total = 0;
        for (size_t i = 0; i < threads_.size(); ++i) {
            threads_[i].join();
            total += cpu_ms_[i];
        }
        threads_.clear();
        return total;
    }
    ~BusyThreads() {
        if (!threads_.empty()) stop();
    }

private:
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
    std::vector<double> cpu_ms_;
};

void write_photo() {
    cv::Mat photo = cv::imread(QX_SHARED_DIR "/data/grocery/val/Fruit/Kiwi/Kiwi_002.jpg");
    if (photo.empty()) std::abort();  // no figure is worth having without the photo
    cv::resize(photo, photo, cv::Size(640, 480));
    cv::imwrite(kPhoto, photo);
}

// Arguments: the thread count (0: the default's choice); busy threads.
// The counts of one load run one after the other, so that the machine's own
// load falls on them alike (better still with
// --benchmark_enable_random_interleaving=true, which mixes the repetitions).
void BM_TestDetect_UnderLoad(benchmark::State& state) {
    write_photo();
    if (state.range(0) > 0)
        setenv("QX_ENGINE_THREADS", std::to_string(state.range(0)).c_str(), 1);
    else
        unsetenv("QX_ENGINE_THREADS");
    Init();
    SaveScaleSetting(0, 0, 640, 480);
    char codes[QX_CODES_SIZE], session[QX_SESSION_SIZE];
    TestDetect(kPhoto, codes, session);  // the first recognition opens what later ones reuse

    BusyThreads busy(static_cast<int>(state.range(1)));
    const double process_start = process_cpu_ms();
    for (auto _ : state) {
        if (TestDetect(kPhoto, codes, session) != QX_OK) state.SkipWithError("TestDetect failed");
        benchmark::DoNotOptimize(codes);
    }
    const double process_ms = process_cpu_ms() - process_start;
    const double busy_ms = busy.stop();
    state.counters["cpu_ms"] = benchmark::Counter(process_ms - busy_ms, benchmark::Counter::kAvgIterations);
    Close();
    unsetenv("QX_ENGINE_THREADS");
}

// The child's part of BM_OnePictureRun, in the benchmark's working folder.
int one_picture_run() {
    if (Init() != QX_OK || SaveScaleSetting(0, 0, 640, 480) != QX_OK) return 1;
    char codes[QX_CODES_SIZE], session[QX_SESSION_SIZE];
    const int result = TestDetect(kPhoto, codes, session);
    Close();
    return result == QX_OK ? 0 : 1;
}

struct RunCost {
    double wall_ms = -1, cpu_ms = -1;  // -1: the run failed
};

// A fresh process of this program that makes one run, with QX_ENGINE_THREADS
// set to `threads` (null: unset); its wall time and its processor time.
RunCost fresh_run(const char* threads) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        if (threads)
            setenv("QX_ENGINE_THREADS", threads, 1);
        else
            unsetenv("QX_ENGINE_THREADS");
        // The engine's "use cpu!" lines would break the benchmark's table.
        const int quiet = open("/dev/null", O_WRONLY);
        if (quiet >= 0) dup2(quiet, STDOUT_FILENO);
        execl("/proc/self/exe", "bench_engine_load", "--one-picture-run", static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (child < 0 || wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return {};
    RunCost cost;
    cost.wall_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    cost.cpu_ms = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                  (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    return cost;
}

void BM_OnePictureRun(benchmark::State& state) {
    write_photo();
    std::vector<double> wall[2], cpu[2];  // 0: default, 1: one thread
    bool swap = false;
    for (auto _ : state) {
        for (int k = 0; k < 2; ++k) {
            const int which = swap ? 1 - k : k;
            const RunCost cost = fresh_run(which == 0 ? nullptr : "1");
            if (cost.wall_ms < 0) {
                state.SkipWithError("the run failed");
                return;
            }
            wall[which].push_back(cost.wall_ms);
            cpu[which].push_back(cost.cpu_ms);
        }
        swap = !swap;
    }
    state.counters["default_wall_ms"] = median(wall[0]);
    state.counters["one_wall_ms"] = median(wall[1]);
    state.counters["default_cpu_ms"] = median(cpu[0]);
    state.counters["one_cpu_ms"] = median(cpu[1]);
    state.counters["wall_ratio"] = median(wall[0]) / median(wall[1]);
    state.counters["cpu_ratio"] = median(cpu[0]) / median(cpu[1]);
}

}  // namespace

BENCHMARK(BM_OnePictureRun)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TestDetect_UnderLoad)
    ->ArgNames({"threads", "busy"})
    ->ArgsProduct({{0, 1, 2}, {0, 1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--one-picture-run") == 0) return one_picture_run();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
