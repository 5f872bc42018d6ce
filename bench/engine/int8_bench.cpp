// The int8 plan against the float32 one, on one thread, in alternation so
// that the machine's load falls on both alike: the forward pass alone, and a
// whole TestDetect (picture file, engine, matching over a small store learned
// by the same plan, session id, record). Processor time beside wall time.
#include "qx_ai.h"

#include "engine/embedded_model.h"
#include "engine/libclsretri.h"
#include "engine/mnn_runtime.h"
#include "support/timing.h"

#include <benchmark/benchmark.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char* const kPlans[2] = {"fp32", "int8"};

double wall_ms() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Wall and processor time of each call of one kind; processor time of the
// whole process (the pool's workers included).
struct Timings {
    std::vector<double> wall, cpu;
    template <typename Work>
    double time(Work&& work) {
        const double cpu_start = process_cpu_ms(), start = wall_ms();
        work();
        wall.push_back(wall_ms() - start);
        cpu.push_back(process_cpu_ms() - cpu_start);
        return wall.back();
    }
};

void report(benchmark::State& state, const Timings (&t)[2]) {
    for (int i = 0; i < 2; ++i) {
        state.counters[std::string(kPlans[i]) + "_ms"] = median(t[i].wall);
        state.counters[std::string(kPlans[i]) + "_cpu_ms"] = median(t[i].cpu);
    }
    state.counters["speedup"] = median(t[1].wall) > 0 ? median(t[0].wall) / median(t[1].wall) : 0;
    state.counters["speedup_cpu"] = median(t[1].cpu) > 0 ? median(t[0].cpu) / median(t[1].cpu) : 0;
}

// A session of the built-in model on `plan` and `threads`, its input filled from a photo.
class Session {
public:
    Session(const char* plan, int threads) {
        interpreter_.reset(MNN::Interpreter::createFromBuffer(embedded_model_data, embedded_model_size));
        MNN::BackendConfig backend;
        backend.processorPlan = plan;
        MNN::ScheduleConfig config;
        config.numThread = threads;
        config.backendConfig = &backend;
        if (interpreter_) session_ = interpreter_->createSession(config);
        const cv::Mat photo = cv::imread(QX_SHARED_DIR "/data/grocery/train/Fruit/Banana/Banana_001.jpg");
        if (!session_ || photo.empty() ||
            CLSRETRI_preprocess_opencv({photo}, interpreter_->getSessionInput(session_, nullptr), nullptr) != 0)
            session_ = nullptr;
    }
    bool ok() const { return session_ != nullptr; }
    void forward() { interpreter_->runSession(session_); }
    std::string describe() const { return interpreter_->describeSession(session_); }

private:
    std::unique_ptr<MNN::Interpreter> interpreter_;
    MNN::Session* session_ = nullptr;
};

// One thread is what the plans are compared on; two (on a free machine) for
// what the thread pool adds to each.
void BM_Int8ForwardInterleaved(benchmark::State& state) {
    const int threads = static_cast<int>(state.range(0));
    Session sessions[2] = {Session(kPlans[0], threads), Session(kPlans[1], threads)};
    if (!sessions[0].ok() || !sessions[1].ok()) return state.SkipWithError("no session (photos under QX_SHARED_DIR?)");
    state.SetLabel(sessions[0].describe() + " | " + sessions[1].describe());
    Timings t[2];
    int first = 0;
    for (auto _ : state) {
        double spent = t[first].time([&] { sessions[first].forward(); });
        spent += t[1 - first].time([&] { sessions[1 - first].forward(); });
        first = 1 - first;
        state.SetIterationTime(spent / 1000.0);
    }
    report(state, t);
}
BENCHMARK(BM_Int8ForwardInterleaved)
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(2)
    ->UseManualTime()
    ->MinTime(4.0)
    ->Unit(benchmark::kMillisecond);

const char* const kPhoto = "photo-640x480.jpg";

// A folder per plan with the crop area and a store of 6 pictures of 3 kinds
// learned by that plan, so that each Init finds a store its own engine made.
std::string prepare_folder(const char* plan, const std::string& top) {
    const std::string folder = top + "/" + plan;
    const char* kinds[3] = {"Fruit/Banana", "Fruit/Kiwi", "Vegetables/Carrots"};
    for (int k = 0; k < 3; ++k)
        for (int i = 1; i <= 2; ++i) {
            const std::string code = std::to_string(1001 + k);
            fs::create_directories(folder + "/pic_data/" + code);
            const std::string name = fs::path(kinds[k]).filename().string() + "_00" + std::to_string(i) + ".jpg";
            fs::copy_file(std::string(QX_SHARED_DIR "/data/grocery/train/") + kinds[k] + "/" + name,
                          folder + "/pic_data/" + code + "/" + name, fs::copy_options::overwrite_existing);
        }
    cv::Mat photo = cv::imread(QX_SHARED_DIR "/data/grocery/val/Fruit/Banana/Banana_001.jpg");
    cv::resize(photo, photo, cv::Size(640, 480));
    cv::imwrite(folder + "/" + kPhoto, photo);
    if (chdir(folder.c_str()) != 0) return "";
    setenv("QX_ENGINE", plan, 1);
    Init();
    const bool ok = SaveScaleSetting(0, 0, 640, 480) == QX_OK && LearnFromPicData() == QX_OK;
    Close();
    return ok ? folder : "";
}

// Init on one plan in its folder, a first recognition, then `calls` timed ones.
void recognitions(const char* plan, const std::string& folder, int calls, Timings& t, double& spent) {
    if (chdir(folder.c_str()) != 0) return;
    setenv("QX_ENGINE", plan, 1);
    Init();
    char codes[QX_CODES_SIZE], session[QX_SESSION_SIZE];
    TestDetect(kPhoto, codes, session);  // the first recognition opens what later ones reuse
    for (int i = 0; i < calls; ++i) spent += t.time([&] { TestDetect(kPhoto, codes, session); });
    Close();
}

// Blocks of 5 recognitions per plan, the plans alternating (and which goes
// first swapping) every iteration; an Init and a Close around each block,
// outside the timing.
void BM_Int8TestDetectInterleaved(benchmark::State& state) {
    const std::string top = fs::current_path().string();
    setenv("QX_ENGINE_THREADS", "1", 1);
    const std::string folders[2] = {prepare_folder(kPlans[0], top), prepare_folder(kPlans[1], top)};
    if (folders[0].empty() || folders[1].empty()) return state.SkipWithError("could not learn the small stores");
    Timings t[2];
    int first = 0;
    for (auto _ : state) {
        double spent = 0;
        recognitions(kPlans[first], folders[first], 5, t[first], spent);
        recognitions(kPlans[1 - first], folders[1 - first], 5, t[1 - first], spent);
        first = 1 - first;
        state.SetIterationTime(spent / 1000.0);
    }
    report(state, t);
    (void)chdir(top.c_str());
    unsetenv("QX_ENGINE");
    unsetenv("QX_ENGINE_THREADS");
}
BENCHMARK(BM_Int8TestDetectInterleaved)->UseManualTime()->Iterations(8)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
