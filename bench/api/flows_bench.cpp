// A whole TestDetect (engine, matching over 30000 learned samples, session id,
// handing the record to its writer, the hand-over to the matching thread)
// against the engine alone on the same 640 x 480 photo, and against the same
// call over a store of 6 samples. Goals, in processor time: with 30000
// samples, the whole call within 1.15 x the picture's reading and the engine,
// and within 1.05 x the 6-sample call (BM_TestDetectVersusEngine gives both
// as call_per_engine, 30000 and 6). Processor time is the whole process's: the
// matching, the record writer and the engine's workers run on threads of their own.
#include "qx_ai.h"

#include "api/context.h"
#include "engine/libclsretri.h"
#include "store/database.h"
#include "support/timing.h"
#include "support/tools.h"

#include <benchmark/benchmark.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

const char* const kPhoto = "photo-640x480.jpg";

// 30000 random unit features under 600 codes, written in one transaction, then
// loaded by Init like a shop's database would be.
void stock_database(int samples) {
    sqlite3* db = nullptr;
    sqlite3_open("featurexYz.db", &db);
    sqlite3_exec(db,
                 "CREATE TABLE IF NOT EXISTS feature_code (id integer PRIMARY KEY AUTOINCREMENT, code text NOT NULL, "
                 "feature text NOT NULL, update_time TIMESTAMP DEFAULT NULL, deleted INTEGER DEFAULT 0);"
                 "BEGIN;",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "insert into feature_code(code, feature) values (?, ?)", -1, &insert, nullptr);
    std::mt19937 random(7);
    std::normal_distribution<float> normal;
    float feature[160];
    for (int i = 0; i < samples; ++i) {
        double norm = 0;
        for (float& v : feature) {
            v = normal(random);
            norm += v * v;
        }
        for (float& v : feature) v = static_cast<float>(v / std::sqrt(norm));
        std::string code = std::to_string(1000 + i % 600);
        std::string text = tool_feature_text(feature, 160);
        sqlite3_bind_text(insert, 1, code.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 2, text.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_step(insert);
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
    sqlite3_close(db);
}

// A figure of /proc/self/status ("VmRSS:") in MiB.
double status_mib(const char* key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(key, 0) == 0) return std::strtod(line.c_str() + std::strlen(key), nullptr) / 1024.0;
    return 0.0;
}

// Resident memory of this process around the library's start: before Init,
// after Init, after the first recognition.
double resident_before_init = 0, resident_after_init = 0, resident_after_recognition = 0;

// Makes the library run on a store of `samples` learned samples (30000 unless
// a benchmark says otherwise), starting it again when the count changes.
void prepare(int samples = 30000) {
    static int stocked = 0;
    if (stocked == samples) return;
    if (stocked == 0) {
        cv::Mat photo = cv::imread(QX_SHARED_DIR "/data/grocery/val/Fruit/Kiwi/Kiwi_002.jpg");
        if (photo.empty()) std::abort();  // no figure is worth having without the photo
        cv::resize(photo, photo, cv::Size(640, 480));
        cv::imwrite(kPhoto, photo);
    } else {
        Close();
        std::remove("featurexYz.db");
    }
    const bool first = stocked == 0;
    stocked = samples;
    // Stocked by a child process, so that what SQLite allocates for the
    // writing is not counted as, or reused by, the library's memory.
    const pid_t child = fork();
    if (child == 0) {
        stock_database(samples);
        _exit(0);
    }
    int status = 0;
    if (child > 0) waitpid(child, &status, 0);
    if (first) resident_before_init = status_mib("VmRSS:");
    Init();
    if (first) resident_after_init = status_mib("VmRSS:");
    SaveScaleSetting(0, 0, 640, 480);
    char codes[QX_CODES_SIZE], session[QX_SESSION_SIZE];
    TestDetect(kPhoto, codes, session);
    if (first) resident_after_recognition = status_mib("VmRSS:");
}

// The memory of the running library with 30000 samples: what Init and one
// recognition add to the process, and the process's whole resident size.
void BM_Resident_InitAndOneRecognition(benchmark::State& state) {
    prepare();
    for (auto _ : state) benchmark::DoNotOptimize(resident_after_recognition);
    state.counters["before_init_MiB"] = resident_before_init;
    state.counters["after_init_MiB"] = resident_after_init;
    state.counters["after_recognition_MiB"] = resident_after_recognition;
    state.counters["added_MiB"] = resident_after_recognition - resident_before_init;
}

void test_detect(benchmark::State& state, int samples) {
    prepare(samples);
    char codes[QX_CODES_SIZE], session[QX_SESSION_SIZE];
    for (auto _ : state) {
        if (TestDetect(kPhoto, codes, session) != 0) state.SkipWithError("TestDetect failed");
        benchmark::DoNotOptimize(codes);
    }
}

void BM_TestDetect_30000Samples(benchmark::State& state) { test_detect(state, 30000); }
void BM_TestDetect_6Samples(benchmark::State& state) { test_detect(state, 6); }

// Reads the photo and runs the engine on it: what TestDetect does before it
// matches.
void engine_alone(_CLSRETRI_OUTPUT_& output) {
    _CLSRETRI_INPUT_ input;
    input.image = cv::imread(kPhoto, cv::IMREAD_COLOR);
    if (CLSRETRI_Process(input, &output, handle) != 0) std::abort();
}

// The whole call against the engine alone, the two alternated in every
// iteration so that the machine's load falls on both alike, in processor time
// of the whole process. The call's record is waited for (the writer's thread
// works for it), so none of its work falls on the next iteration.
void BM_TestDetectVersusEngine(benchmark::State& state) {
    prepare(static_cast<int>(state.range(0)));
    std::vector<double> engine_ms, call_ms;
    char codes[QX_CODES_SIZE], session[QX_SESSION_SIZE];
    _CLSRETRI_OUTPUT_ output;
    for (auto _ : state) {
        const double start = process_cpu_ms();
        engine_alone(output);
        const double engine_done = process_cpu_ms();
        if (TestDetect(kPhoto, codes, session) != 0) state.SkipWithError("TestDetect failed");
        db_flush_records(params);
        call_ms.push_back(process_cpu_ms() - engine_done);
        engine_ms.push_back(engine_done - start);
    }
    state.counters["engine_cpu_ms"] = median(engine_ms);
    state.counters["call_cpu_ms"] = median(call_ms);
    state.counters["call_per_engine"] = median(call_ms) / median(engine_ms);
}

void BM_EngineAlone(benchmark::State& state) {
    prepare();
    _CLSRETRI_OUTPUT_ output;
    for (auto _ : state) {
        engine_alone(output);
        benchmark::DoNotOptimize(output);
    }
}

// The two worker steps of a recognition on their own, to see where the time goes.
void BM_MatchingStep(benchmark::State& state) {
    prepare();
    DB_COMPARE_IN query{};
    for (int i = 0; i < 160; ++i) query.feature[i] = (i % 7) * 0.03f;
    for (auto _ : state) {
        std::string codes[10];
        DB_COMPARE_OUT result{};
        result.codes = codes;
        db_compare_feature_faiss(params, &query, &result);
        benchmark::DoNotOptimize(codes);
    }
}

// A recognition's record as TestDetect makes it.
DB_RECORD sample_record() {
    DB_RECORD record;
    std::vector<float> feature(160, 0.05f);
    record.feature_value = tool_feature_text(feature.data(), 160);
    record.product_ids = record.real_codes = "1001,1002,1003,";
    return record;
}

// What a recognition spends on its record: the hand-over to the writer.
void BM_RecordStep(benchmark::State& state) {
    prepare();
    DB_RECORD record = sample_record();
    for (auto _ : state) {
        record.session_id = tool_get_session_id();
        db_queue_record(params, record);
    }
    db_flush_records(params);
}

// The writer's side as a recognition meets it: one record handed over and
// waited for, into the file with its journal's disk flushes, by the writer's
// thread (so the processor time is the process's).
void BM_RecordWrite(benchmark::State& state) {
    prepare();
    DB_RECORD record = sample_record();
    for (auto _ : state) {
        record.session_id = tool_get_session_id();
        db_queue_record(params, record);
        db_flush_records(params);
    }
}

}  // namespace

BENCHMARK(BM_Resident_InitAndOneRecognition)->Iterations(1);
// The matching as a recognition meets it: right after a forward, which leaves
// little of the index in the cache (compare BM_MatchingStep).
void BM_MatchingAfterEngine(benchmark::State& state) {
    prepare();
    DB_COMPARE_IN query{};
    for (int i = 0; i < 160; ++i) query.feature[i] = (i % 7) * 0.03f;
    _CLSRETRI_OUTPUT_ output;
    for (auto _ : state) {
        state.PauseTiming();
        engine_alone(output);
        state.ResumeTiming();
        std::string codes[10];
        DB_COMPARE_OUT result{};
        result.codes = codes;
        db_compare_feature_faiss(params, &query, &result);
        benchmark::DoNotOptimize(codes);
    }
}
BENCHMARK(BM_MatchingAfterEngine)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MatchingStep)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RecordStep)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RecordWrite)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();
BENCHMARK(BM_TestDetect_30000Samples)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();
BENCHMARK(BM_EngineAlone)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();
BENCHMARK(BM_TestDetectVersusEngine)->ArgName("samples")->Arg(30000)->Unit(benchmark::kMillisecond)->UseRealTime();
// Last: they start the library again on a store of its own.
BENCHMARK(BM_TestDetect_6Samples)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();
BENCHMARK(BM_TestDetectVersusEngine)->ArgName("samples")->Arg(6)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
