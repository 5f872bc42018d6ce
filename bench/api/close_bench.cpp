// How long Close keeps the host's thread when it comes during a folder learning
// run of 80 pictures (8 products x 10 photos): wall time of Close alone, with
// its processor time beside it as a counter.
#include "qx_ai.h"

#include "api/context.h"

#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

double thread_cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Ten photos of each of eight products, as flat "<code>\<n>.jpg" files.
void stock_pic_data() {
    const char* const folders[] = {"Fruit/Banana", "Vegetables/Carrots", "Vegetables/Aubergine", "Fruit/Kiwi",
                                   "Fruit/Pineapple", "Vegetables/Leek", "Vegetables/Cucumber", "Fruit/Pomegranate"};
    fs::create_directories("pic_data");
    int code = 4001;
    for (const char* folder : folders) {
        std::vector<fs::path> photos;
        for (const auto& entry : fs::directory_iterator(std::string(QX_SHARED_DIR) + "/data/grocery/train/" + folder))
            if (entry.path().extension() == ".jpg") photos.push_back(entry.path());
        std::sort(photos.begin(), photos.end());
        for (int n = 0; n < 10; ++n)
            fs::copy_file(photos.at(static_cast<size_t>(n)),
                          "pic_data/" + std::to_string(code) + "\\" + std::to_string(n) + ".jpg");
        ++code;
    }
}

void BM_CloseDuringLearning(benchmark::State& state) {
    const fs::path home = fs::current_path();
    double close_cpu = 0;
    for (auto _ : state) {
        char folder[] = "/tmp/qx-close-bench-XXXXXX";
        if (!mkdtemp(folder) || chdir(folder) != 0) {
            state.SkipWithError("no working folder");
            return;
        }
        stock_pic_data();
        Init();
        std::thread learner([] { LearnFromPicData(); });
        while (!(params && params->importing)) std::this_thread::yield();
        // Well under way: a few pictures learned, the engine busy with the next.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const auto start = std::chrono::steady_clock::now();
        const double cpu_start = thread_cpu_seconds();
        Close();
        close_cpu += thread_cpu_seconds() - cpu_start;
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        learner.join();
        fs::current_path(home);
        fs::remove_all(folder);
    }
    state.counters["close_cpu_ms"] = benchmark::Counter(close_cpu * 1000.0 / static_cast<double>(state.iterations()));
}

}  // namespace

BENCHMARK(BM_CloseDuringLearning)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
