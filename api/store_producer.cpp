#include "api/store_producer.h"

#include "api/context.h"
#include "api/engine_handle.h"
#include "api/gate.h"
#include "api/store_recompute.h"
#include "engine/libclsretri.h"
#include "store/CppSQLite3.h"
#include "store/database.h"
#include "store/feature_producer.h"
#include "store/libhnsw.h"
#include "store/store_file.h"
#include "store/temp_files.h"
#include "support/log.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace {

// The recompute Init starts, and what the set-up page shows of the last one
// (Init's or ImportData's).
struct RecomputeState {
    std::mutex mutex;
    std::condition_variable ended;
    std::thread thread;     // guarded by mutex
    bool finished = true;   // the thread's body is over; guarded by mutex
    std::atomic<bool> cancel{false};
    std::atomic<bool> running{false};
    std::atomic<long long> done{0};
    RECOMPUTE_RESULT last;  // guarded by mutex
    std::string outcome;    // guarded by mutex: "", "done", "cancelled" or "failed: ..."
};

RecomputeState& recompute_state() {
    static RecomputeState state;
    return state;
}

void note_outcome(const std::string& outcome, const RECOMPUTE_RESULT& result) {
    RecomputeState& state = recompute_state();
    std::lock_guard<std::mutex> hold(state.mutex);
    state.outcome = outcome;
    state.last = result;
}

CLSRETRI_PRODUCER producer_of(const DB_PRODUCER_RECORD& record) {
    return record.present ? CLSRETRI_PRODUCER{record.model, record.precision} : CLSRETRI_legacy_producer();
}

bool same_producer(const DB_PRODUCER_RECORD& record, const CLSRETRI_PRODUCER& engine) {
    return record.present && record.model == engine.model && record.precision == engine.precision;
}

// Whether the store file at `path` may be served by `engine` as it is; one
// the engine serves (its own, an empty one, one from before the record) gets
// the engine's record. `what` names the store in the log.
bool may_serve_as_is(const std::string& path, const CLSRETRI_PRODUCER& engine, const char* what) {
    CppSQLite3DB db;
    db.open(path.c_str());
    const DB_PRODUCER_RECORD record = db_read_producer(db);
    const CLSRETRI_PRODUCER made_by = producer_of(record);
    // No feature to compare: any engine's store.
    const bool empty = db_live_sample_count(db) == 0;
    const CLSRETRI_SERVING serving = empty ? CLSRETRI_SERVING::kSame : CLSRETRI_may_serve(made_by, engine);
    const std::string from = CLSRETRI_producer_text(made_by), to = CLSRETRI_producer_text(engine);
    if (serving == CLSRETRI_SERVING::kRecompute) {
        logger->info("{} made by {} cannot be served by {}: its samples are made again from pic_data", what, from, to);
        return false;
    }
    if (serving == CLSRETRI_SERVING::kInterchangeable) {
        logger->info("{} made by {} is served by {}: the two precisions are measured to recognise alike", what, from, to);
        return true;
    }
    if (!same_producer(record, engine)) {
        if (!record.present && !empty) logger->info("{} predates producer records: made by {}, now recorded", what, from);
        db_write_producer(db, engine.model, engine.precision);
    }
    return true;
}

void log_result(const RECOMPUTE_RESULT& result, const CLSRETRI_PRODUCER& engine) {
    logger->info("store recomputed for {}: {} samples made again from their pictures, {} without a picture kept aside "
                 "in {}",
                 CLSRETRI_producer_text(engine), result.recomputed, result.kept_aside, result.aside_copy);
}

// Nothing is offered from a store whose features the engine cannot compare
// with its own; the file itself is kept.
void serve_nothing(DB_STORE* store) {
    CppSQLite3DB none;
    none.open(":memory:");
    std::unique_ptr<libhnsw::Index> empty = db_build_index(none, DB_INDEX_CAPACITY);
    std::lock_guard<std::mutex> lock(g_mutex);
    store->index.swap(empty);
    store->sample_rows = -1;
}

bool recompute_cancelled() { return recompute_state().cancel || qx_lifecycle_waiting(); }

// A copy of the live store made the engine's and put in its place. Under the
// shared state lock, in the run that started it; `importing` keeps every
// other change of the store out meanwhile.
Recomputed recompute_live_store(const CLSRETRI_PRODUCER& engine, RECOMPUTE_RESULT& result) {
    const std::string work = db_temp_file("recompute");
    struct Cleanup {
        const std::string& path;
        bool keep = false;
        ~Cleanup() {
            if (path.empty() || keep) return;
            std::remove(path.c_str());
            db_remove_side_files(path);
        }
    } cleanup{work};
    if (work.empty()) throw std::runtime_error("no room for a copy of the store");
    if (!db_snapshot_file(params->db_path, work)) throw std::runtime_error("the store cannot be copied");
    const Recomputed outcome = recompute_store(work, engine, {recompute_cancelled, &recompute_state().done}, result);
    if (outcome == Recomputed::kCancelled) return outcome;
    QxStoreSwap swap;
    // Records on their way belong to the store being replaced.
    db_flush_records(params);
    db_install_store(params, work);
    cleanup.keep = true;
    return outcome;
}

void recompute_in_background(const CLSRETRI_PRODUCER& engine) noexcept {
    RECOMPUTE_RESULT result;
    Recomputed outcome = Recomputed::kDone;
    std::string failure;
    try {
        outcome = recompute_live_store(engine, result);
    } catch (const CppSQLite3Exception& e) {
        failure = e.errorMessage();
    } catch (const std::exception& e) {
        failure = e.what();
    } catch (...) {
        failure = "unknown failure";
    }
    if (!failure.empty()) {
        logger->info("store recompute failed, the store is not served until the next Init: {}", failure);
        note_outcome("failed: " + failure, result);
    } else if (outcome == Recomputed::kCancelled) {
        // Init or Close is waiting: it resets `importing`, and the next Init starts over.
        logger->info("store recompute cancelled by Init or Close; the next Init starts it again");
        note_outcome("cancelled", result);
        return;
    } else {
        log_result(result, engine);
        note_outcome("done", result);
    }
    params->importing = false;
}

void thread_body(CLSRETRI_PRODUCER engine, unsigned long long run) {
    RecomputeState& state = recompute_state();
    {
        QxBackgroundEntry entry(run, state.cancel);
        if (entry.admitted()) recompute_in_background(engine);
    }
    state.running = false;
    std::lock_guard<std::mutex> hold(state.mutex);
    state.finished = true;
    state.ended.notify_all();
}

// A host that exits without Close: the thread must not go on while the
// process takes down what it uses. It stops before its next picture; one held
// up longer (by a host thread the exit left inside a call) is let go.
void stop_at_exit() {
    RecomputeState& state = recompute_state();
    state.cancel = true;
    std::unique_lock<std::mutex> hold(state.mutex);
    if (!state.thread.joinable()) return;
    const bool finished = state.ended.wait_for(hold, std::chrono::seconds(5), [&] { return state.finished; });
    std::thread ending = std::move(state.thread);
    hold.unlock();
    if (finished)
        ending.join();
    else
        ending.detach();
}

void start_recompute(DB_HADNLE* context, const CLSRETRI_PRODUCER& engine) {
    // Made before the exit handler is registered, so that it is taken down after the handler ran.
    RecomputeState& state = recompute_state();
    static const bool exit_handler = std::atexit(stop_at_exit) == 0;
    (void)exit_handler;
    context->importing = true;
    state.cancel = false;
    state.done = 0;
    state.running = true;
    std::lock_guard<std::mutex> hold(state.mutex);
    state.outcome.clear();
    state.last = RECOMPUTE_RESULT();
    try {
        state.thread = std::thread(thread_body, engine, qx_current_run());
        state.finished = false;
    } catch (const std::system_error& e) {
        logger->info("store recompute cannot start, the store is not served until the next Init: {}", e.what());
        state.running = false;
        context->importing = false;
    }
}

}  // namespace

bool engine_producer(CLSRETRI_PRODUCER* producer, bool create) {
    std::lock_guard<std::mutex> hold(g_engine_mutex);
    if (!handle && create && engine_create() != 0) return false;
    return handle && CLSRETRI_GetInfo(handle, "feature_producer", producer) == 0;
}

void producer_check_at_start(DB_HADNLE* context) {
    CLSRETRI_PRODUCER engine;
    if (!engine_producer(&engine, false)) {
        logger->info("no engine: which engine made the store is checked at the next Init");
        return;
    }
    if (may_serve_as_is(context->db_path, engine, "the store")) return;
    serve_nothing(context);
    start_recompute(context, engine);
}

std::string producer_admit_import(const std::string& copy) {
    CLSRETRI_PRODUCER engine;
    if (!engine_producer(&engine, true)) return "there is no engine to tell whether its features can be served";
    if (may_serve_as_is(copy, engine, "the imported store")) return "";
    RecomputeState& state = recompute_state();
    state.done = 0;
    state.running = true;
    struct Running {
        ~Running() { recompute_state().running = false; }
    } running;
    RECOMPUTE_RESULT result;
    if (recompute_store(copy, engine, {qx_lifecycle_waiting, &state.done}, result) == Recomputed::kCancelled)
        return "cancelled by Init or Close";
    log_result(result, engine);
    note_outcome("done", result);
    return "";
}

void producer_stamp(DB_STAGED_STORE& store) {
    CLSRETRI_PRODUCER engine;
    if (engine_producer(&engine, false)) store.record_producer(engine.model, engine.precision);
}

void producer_stop_recompute() {
    RecomputeState& state = recompute_state();
    std::thread ending;
    {
        std::lock_guard<std::mutex> hold(state.mutex);
        state.cancel = true;
        ending = std::move(state.thread);
    }
    if (ending.joinable()) ending.join();
}

void producer_write_status(rapidjson::Writer<rapidjson::StringBuffer>& w, const std::string& db_path) {
    DB_PRODUCER_RECORD record;
    try {
        CppSQLite3DB db;
        db.open(db_path.c_str(), SQLITE_OPEN_READONLY);
        record = db_read_producer(db);
    } catch (const CppSQLite3Exception&) {
        // No store yet: nothing recorded.
    }
    const CLSRETRI_PRODUCER made_by = producer_of(record);
    RecomputeState& state = recompute_state();
    std::lock_guard<std::mutex> hold(state.mutex);
    w.Key("store");
    w.StartObject();
    w.Key("model");
    w.String(made_by.model.c_str());
    w.Key("precision");
    w.String(made_by.precision.c_str());
    w.Key("recorded");
    w.Bool(record.present);
    w.Key("recompute");
    w.StartObject();
    // Names of their own: the tool looks keys up by name in the whole status.
    w.Key("in_progress");
    w.Bool(state.running);
    w.Key("samples_done");
    w.Int64(state.done);
    w.Key("outcome");
    w.String(state.outcome.c_str());
    w.Key("recomputed");
    w.Int64(state.last.recomputed);
    w.Key("kept_aside");
    w.Int64(state.last.kept_aside);
    w.Key("aside_copy");
    w.String(state.last.aside_copy.c_str());
    w.EndObject();
    w.EndObject();
}
