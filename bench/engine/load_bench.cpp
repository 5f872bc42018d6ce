// A whole TestDetect while other threads of the same process keep cores busy,
// on the engine's default thread count and on one thread
// (QX_ENGINE_THREADS=1). The busy threads start after Init, so the default
// meets the load only after it has made its first choice. Goal: the default
// no slower than one thread (wall, median) with each number of busy threads,
// for at most 1.3 x one thread's processor time.
//
// cpu_ms is the processor time of the whole process less that of the busy
// threads, per recognition: the calling thread, the engine's workers and the
// library's own threads.
#include "qx_ai.h"

#include "support/timing.h"

#include <benchmark/benchmark.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <atomic>
#include <cstdlib>
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

// Arguments: 0 for the default thread count, 1 for one thread; busy threads.
// The two counts of one load run one after the other, so that the machine's
// own load falls on both alike (better still with
// BENCHMARK_ENABLE_RANDOM_INTERLEAVING=true, which mixes the repetitions).
void BM_TestDetect_UnderLoad(benchmark::State& state) {
    cv::Mat photo = cv::imread(QX_SHARED_DIR "/data/grocery/val/Fruit/Kiwi/Kiwi_001.jpg");
    cv::resize(photo, photo, cv::Size(640, 480));
    cv::imwrite(kPhoto, photo);
    if (state.range(0) == 1)
        setenv("QX_ENGINE_THREADS", "1", 1);
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

}  // namespace

BENCHMARK(BM_TestDetect_UnderLoad)
    ->ArgNames({"one_thread", "busy"})
    ->ArgsProduct({{0, 1}, {0, 1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_MAIN();
