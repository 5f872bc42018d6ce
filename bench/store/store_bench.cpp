// Feature store: the index search against its yardsticks, a whole match, the
// start-up load and learning throughput, all at the store's full 30000 samples.
#include "api/context.h"
#include "store/CppSQLite3.h"
#include "store/database.h"
#include "store/libhnsw.h"
#include "support/log.h"
#include "support/timing.h"
#include "support/tools.h"

#include <benchmark/benchmark.h>
#include <hnswlib/hnswlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#ifdef QX_HAVE_FAISS
#include <faiss/IndexFlat.h>
#include <omp.h>
#endif

namespace {

constexpr int kSamples = DB_SAMPLE_CAPACITY;
constexpr int kWide = DB_FEATURE_VALUES;
constexpr int kFeature = 160;
constexpr int kQueries = 64;
constexpr int kProducts = 1000;

// Rows of 720 values whose first 160 are the feature, as the engine leaves them.
std::vector<float> make_rows(int rows, unsigned seed) {
    std::mt19937 generator(seed);
    std::normal_distribution<float> value(0.0f, 1.0f);
    std::vector<float> data(static_cast<size_t>(rows) * kWide, 0.0f);
    for (int r = 0; r < rows; ++r)
        for (int i = 0; i < kFeature; ++i) data[static_cast<size_t>(r) * kWide + i] = value(generator);
    return data;
}

const std::vector<float>& samples() {
    static const std::vector<float> data = make_rows(kSamples, 1);
    return data;
}

const std::vector<float>& queries() {
    static const std::vector<float> data = make_rows(kQueries, 2);
    return data;
}

const float* sample(int i) { return samples().data() + static_cast<size_t>(i) * kWide; }
const float* query(size_t i) { return queries().data() + (i % kQueries) * kWide; }

std::vector<float> narrow(const std::vector<float>& rows) {
    const size_t n = rows.size() / kWide;
    std::vector<float> out(n * kFeature);
    for (size_t r = 0; r < n; ++r)
        std::copy(rows.begin() + static_cast<long>(r * kWide), rows.begin() + static_cast<long>(r * kWide + kFeature),
                  out.begin() + static_cast<long>(r * kFeature));
    return out;
}

// ---------------------------------------------------------------------------
// 1. The search itself: k = 6 (a list of old) and 100 (the default searchK)
// over 30000 stored vectors; the store's index narrows its search with a
// coarse copy of the vectors, the bare hnswlib search reads every vector.

// The store's index holding every sample, `Dim` values each.
template <int Dim>
libhnsw::Index& stored_index() {
    static libhnsw::Index* index = [] {
        auto* built = new libhnsw::Index(Dim, 55000, libhnsw::BF_SORTED, libhnsw::L2, 16, 200, 100);
        for (int i = 0; i < kSamples; ++i) built->Addsample(sample(i), i);
        return built;
    }();
    return *index;
}

template <int Dim>
void BM_Search_Index(benchmark::State& state) {
    libhnsw::Index* index = &stored_index<Dim>();
    size_t q = 0;
    for (auto _ : state) {
        auto hits = index->Search(query(q++), static_cast<int>(state.range(0)));
        benchmark::DoNotOptimize(hits.data());
    }
}
// The store's index as db_init makes it, and as it was before (720 values per
// sample, 560 of them always zero).
BENCHMARK_TEMPLATE(BM_Search_Index, DB_INDEX_VALUES)->Name("BM_Search_Index160")->Arg(6)->Arg(100)->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_Search_Index, kWide)->Name("BM_Search_Index720")->Arg(6)->Unit(benchmark::kMicrosecond);

// Reads and writes more memory than the processor's caches hold, as an engine
// forward does (its weights and activations are tens of MB) between two
// recognitions' searches.
void evict_caches() {
    static std::vector<char> block(64u << 20, 1);
    for (size_t i = 0; i < block.size(); i += 64) block[i] = static_cast<char>(block[i] + 1);
    benchmark::ClobberMemory();
}

// The search as a recognition meets it: right after a forward, with little of
// the index left in the caches.
void BM_Search_Index160_AfterEviction(benchmark::State& state) {
    libhnsw::Index* index = &stored_index<DB_INDEX_VALUES>();
    size_t q = 0;
    for (auto _ : state) {
        state.PauseTiming();
        evict_caches();
        state.ResumeTiming();
        auto hits = index->Search(query(q++), static_cast<int>(state.range(0)));
        benchmark::DoNotOptimize(hits.data());
    }
}
BENCHMARK(BM_Search_Index160_AfterEviction)->Arg(6)->Arg(100)->Unit(benchmark::kMicrosecond);

template <int Dim>
hnswlib::BruteforceSearch<float>* bare_engine() {
    static hnswlib::L2Space space(Dim);
    static hnswlib::BruteforceSearch<float>* engine = [] {
        auto* built = new hnswlib::BruteforceSearch<float>(&space, 55000);
        if (Dim == kWide) {
            for (int i = 0; i < kSamples; ++i) built->addPoint(sample(i), static_cast<size_t>(i));
        } else {
            const std::vector<float> rows = narrow(samples());
            for (int i = 0; i < kSamples; ++i) built->addPoint(rows.data() + static_cast<size_t>(i) * Dim, i);
        }
        return built;
    }();
    return engine;
}

void BM_Search_BareHnswlib720(benchmark::State& state) {
    auto* engine = bare_engine<kWide>();
    size_t q = 0;
    for (auto _ : state) {
        auto hits = engine->searchKnnCloserFirst(query(q++), 6);
        benchmark::DoNotOptimize(hits.data());
    }
}
BENCHMARK(BM_Search_BareHnswlib720)->Unit(benchmark::kMicrosecond);

void BM_Search_BareHnswlib160(benchmark::State& state) {
    auto* engine = bare_engine<kFeature>();
    const std::vector<float> narrow_queries = narrow(queries());
    size_t q = 0;
    for (auto _ : state) {
        auto hits = engine->searchKnnCloserFirst(narrow_queries.data() + (q++ % kQueries) * kFeature,
                                                 static_cast<size_t>(state.range(0)));
        benchmark::DoNotOptimize(hits.data());
    }
}
BENCHMARK(BM_Search_BareHnswlib160)->Arg(6)->Arg(100)->Unit(benchmark::kMicrosecond);

#ifdef QX_HAVE_FAISS
void BM_Search_FaissFlatL2_720(benchmark::State& state) {
    // One query at a time on one thread, as the store searches.
    omp_set_num_threads(1);
    static faiss::IndexFlatL2* index = [] {
        auto* built = new faiss::IndexFlatL2(kWide);
        built->add(kSamples, samples().data());
        return built;
    }();
    float distances[6];
    faiss::Index::idx_t labels[6];
    size_t q = 0;
    for (auto _ : state) {
        index->search(1, query(q++), 6, distances, labels);
        benchmark::DoNotOptimize(labels);
    }
}
BENCHMARK(BM_Search_FaissFlatL2_720)->Unit(benchmark::kMicrosecond);
#endif

// ---------------------------------------------------------------------------
// Reading one stored feature text (160 values): the store's reader, and the
// way it was read before (a copy of the text, strtok_r and strtod per value).

const std::vector<std::string>& stored_texts() {
    static const std::vector<std::string> texts = [] {
        std::vector<std::string> made;
        for (int i = 0; i < kQueries; ++i) made.push_back(tool_feature_text(sample(i), kFeature));
        return made;
    }();
    return texts;
}

void BM_FeatureRead(benchmark::State& state) {
    std::vector<float> values(kWide, 0.0f);
    size_t n = 0;
    for (auto _ : state) {
        tool_feature_read(stored_texts()[n++ % kQueries].c_str(), values.data(), kWide);
        benchmark::DoNotOptimize(values.data());
    }
}
BENCHMARK(BM_FeatureRead)->Unit(benchmark::kMicrosecond);

void BM_FeatureRead_Strtod(benchmark::State& state) {
    std::vector<float> values(kWide, 0.0f);
    size_t n = 0;
    for (auto _ : state) {
        std::string copy = stored_texts()[n++ % kQueries];
        int read = 0;
        char* save = nullptr;
        for (char* piece = strtok_r(&copy[0], ",", &save); piece && read < kWide; piece = strtok_r(nullptr, ",", &save))
            values[static_cast<size_t>(read++)] = static_cast<float>(std::strtod(piece, nullptr));
        benchmark::DoNotOptimize(values.data());
    }
}
BENCHMARK(BM_FeatureRead_Strtod)->Unit(benchmark::kMicrosecond);

// ---------------------------------------------------------------------------
// Feature databases in folders of the benchmark's working directory.

std::string feature_text(int i) { return tool_feature_text(sample(i % kSamples), kFeature); }

// Creates <folder>/featurexYz.db through db_init and fills it with `rows`
// samples in one transaction. The context keeps the (empty) index db_init made.
void prepare_database(const std::string& folder, int rows, DB_HADNLE* context) {
    char previous[4096];
    if (!getcwd(previous, sizeof previous)) previous[0] = '\0';
    mkdir(folder.c_str(), 0755);
    if (chdir(folder.c_str()) != 0) return;
    db_init(context);
    {
        CppSQLite3DB db;
        db.open(context->db_path.c_str());
        db.execDML("begin;");
        CppSQLite3Statement insert = db.compileStatement(
            "insert into feature_code(code, feature, update_time, deleted) values (?, ?, CURRENT_TIMESTAMP, 0);");
        for (int i = 0; i < rows; ++i) {
            const std::string code = "P" + std::to_string(i % kProducts);
            const std::string text = feature_text(i);
            insert.bind(1, code.c_str());
            insert.bind(2, text.c_str());
            insert.execDML();
        }
        insert.finalize();
        db.execDML("commit;");
    }
    if (chdir(previous) != 0) return;
}

DB_HADNLE& full_store() {
    static DB_HADNLE* context = [] {
        auto* made = new DB_HADNLE();
        prepare_database("full", kSamples, made);
        db_close(made);
        char previous[4096];
        if (getcwd(previous, sizeof previous) && chdir("full") == 0) {
            db_init(made);  // loads the 30000 samples
            if (chdir(previous) != 0) std::perror("chdir");
        }
        return made;
    }();
    return *context;
}

// ---------------------------------------------------------------------------
// 2. A whole match: search, one read of the hits' rows, similarities.

void BM_Match(benchmark::State& state) {
    log_flush_every_message();  // as after Init
    DB_HADNLE& context = full_store();
    context.search_k = static_cast<int>(state.range(0));
    context.filter_score = 0.5f;
    std::vector<std::string> codes(DB_RESULT_SLOTS);
    DB_COMPARE_IN in;
    size_t q = 0;
    for (auto _ : state) {
        std::copy(query(q), query(q) + kWide, in.feature);
        ++q;
        for (auto& code : codes) code.clear();
        DB_COMPARE_OUT out;
        out.codes = codes.data();
        db_compare_feature_faiss(&context, &in, &out);
        benchmark::DoNotOptimize(codes.data());
    }
    context.search_k = 6;
}
BENCHMARK(BM_Match)->ArgName("searchK")->Arg(6)->Arg(60)->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------------------
// 3. Start-up: db_init on a file of 30000 and of 55000 samples, and the
// memory it keeps.

long resident_bytes() {
    long pages = 0, resident = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(statm);
    }
    return resident * sysconf(_SC_PAGESIZE);
}

// The child's part of BM_DbInit, run in a fresh process so that nothing an
// earlier load freed is there to be reused: db_init on the file in `folder`,
// and what it added to the resident memory, its wall and processor time.
int db_init_child(const char* folder) {
    if (chdir(folder) != 0) return 1;
    log_flush_every_message();
    DB_HADNLE context;
    const long before = resident_bytes();
    const auto start = std::chrono::steady_clock::now();
    const double cpu_start = process_cpu_ms();
    db_init(&context);
    const double cpu_ms = process_cpu_ms() - cpu_start;
    const double wall_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    const long added = resident_bytes() - before;
    std::printf("QXDBINIT %ld %d %.3f %.3f\n", added, context.index ? context.index->get_cur_element_count() : -1, wall_ms,
                cpu_ms);
    return 0;
}

// Start-up on a file of 30000 samples (the table's capacity) and of 55000
// (the index's: a file from elsewhere), each run in a fresh process.
void BM_DbInit(benchmark::State& state) {
    const int rows = static_cast<int>(state.range(0));
    const std::string folder = "init" + std::to_string(rows);
    {
        DB_HADNLE made;
        prepare_database(folder, rows, &made);
        db_close(&made);
    }
    std::vector<double> added, cpu;
    int samples = 0;
    for (auto _ : state) {
        const std::string command = "'/proc/" + std::to_string(getpid()) + "/exe' --db-init-child " + folder;
        FILE* child = popen(command.c_str(), "r");
        char line[256];
        long bytes = 0;
        double wall_ms = -1, cpu_ms = 0;
        while (child && std::fgets(line, sizeof line, child))
            std::sscanf(line, "QXDBINIT %ld %d %lf %lf", &bytes, &samples, &wall_ms, &cpu_ms);
        if (!child || pclose(child) != 0 || wall_ms < 0) {
            state.SkipWithError("the measuring process failed");
            return;
        }
        state.SetIterationTime(wall_ms / 1e3);
        added.push_back(static_cast<double>(bytes) / (1024.0 * 1024.0));
        cpu.push_back(cpu_ms);
    }
    state.counters["rss_added_MiB"] = median(added);
    state.counters["cpu_ms"] = median(cpu);
    state.counters["samples"] = samples;
}
BENCHMARK(BM_DbInit)->ArgName("rows")->Arg(DB_SAMPLE_CAPACITY)->Arg(DB_INDEX_CAPACITY)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------------------
// 4. Learning: db_save_db_index into a table below capacity (new rows) and
// into a full one (slots reused round-robin).

void save_samples(benchmark::State& state, DB_HADNLE& context) {
    std::vector<std::string> texts;
    for (int i = 0; i < kQueries; ++i) texts.push_back(tool_feature_text(query(static_cast<size_t>(i)), kFeature));
    size_t n = 0;
    for (auto _ : state) {
        DB_COMMODITY learned;
        learned.code = "L" + std::to_string(n % kProducts);
        learned.feature = texts[n % texts.size()].c_str();
        ++n;
        db_save_db_index(&context, &learned);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void BM_Save_BelowCapacity(benchmark::State& state) {
    log_flush_every_message();
    static DB_HADNLE* context = [] {
        auto* made = new DB_HADNLE();
        prepare_database("below", 20000, made);
        return made;
    }();
    save_samples(state, *context);
}
BENCHMARK(BM_Save_BelowCapacity)->Unit(benchmark::kMillisecond);

void BM_Save_AtCapacity(benchmark::State& state) {
    log_flush_every_message();
    static DB_HADNLE* context = [] {
        auto* made = new DB_HADNLE();
        prepare_database("at", kSamples, made);
        return made;
    }();
    save_samples(state, *context);
}
BENCHMARK(BM_Save_AtCapacity)->Unit(benchmark::kMillisecond);

}  // namespace


namespace {

// 5. Folder learning: a run of 1000 pictures' samples into the run's new store,
// one transaction, then the install (index build from the file and the rename).
// Compare its items/s with BM_Save_BelowCapacity, the per-sample save a run used.
void BM_Save_FolderRun(benchmark::State& state) {
    log_flush_every_message();
    constexpr int kRun = 1000;
    static DB_HADNLE* context = [] {
        auto* made = new DB_HADNLE();
        prepare_database("run", 0, made);
        return made;
    }();
    std::vector<std::string> texts;
    for (int i = 0; i < kQueries; ++i) texts.push_back(tool_feature_text(query(static_cast<size_t>(i)), kFeature));
    for (auto _ : state) {
        DB_STAGED_STORE store;
        for (int n = 0; n < kRun; ++n) {
            DB_COMMODITY learned;
            learned.code = "L" + std::to_string(n % kProducts);
            learned.feature = texts[static_cast<size_t>(n) % texts.size()].c_str();
            store.add(&learned);
        }
        store.install(context);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kRun);
}
BENCHMARK(BM_Save_FolderRun)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--db-init-child") == 0) return db_init_child(argv[2]);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
