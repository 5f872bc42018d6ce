#include "api/recompute_thread.h"

#include "api/context.h"
#include "api/gate.h"
#include "store/CppSQLite3.h"
#include "store/database.h"
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

struct RecomputeState {
    std::mutex mutex;
    std::condition_variable ended;
    std::thread thread;     // guarded by mutex
    bool finished = true;   // the thread's body is over; guarded by mutex
    std::atomic<bool> cancel{false};
    std::atomic<bool> running{false};
    std::atomic<long long> done{0};
    RECOMPUTE_RESULT last;  // guarded by mutex
    std::string outcome;    // guarded by mutex
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
    const Recomputed outcome = recompute_reported(work, engine, recompute_cancelled, result);
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
        return;
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

}  // namespace

void recompute_thread_start(DB_HADNLE* context, const CLSRETRI_PRODUCER& engine) {
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

void recompute_thread_stop() {
    RecomputeState& state = recompute_state();
    std::thread ending;
    {
        std::lock_guard<std::mutex> hold(state.mutex);
        state.cancel = true;
        ending = std::move(state.thread);
    }
    if (ending.joinable()) ending.join();
}

Recomputed recompute_reported(const std::string& work, const CLSRETRI_PRODUCER& engine,
                              const std::function<bool()>& cancelled, RECOMPUTE_RESULT& result) {
    RecomputeState& state = recompute_state();
    state.done = 0;
    state.running = true;
    struct Running {
        ~Running() { recompute_state().running = false; }
    } running;
    Recomputed outcome;
    try {
        outcome = recompute_store(work, engine, {cancelled, &state.done}, result);
    } catch (const CppSQLite3Exception& e) {
        note_outcome(std::string("failed: ") + e.errorMessage(), result);
        throw;
    } catch (const std::exception& e) {
        note_outcome(std::string("failed: ") + e.what(), result);
        throw;
    }
    if (outcome == Recomputed::kCancelled) {
        note_outcome("cancelled", result);
        return outcome;
    }
    logger->info("store recomputed for {}: {} samples made again from their pictures, {} without a picture kept aside "
                 "in {}",
                 CLSRETRI_producer_text(engine), result.recomputed, result.kept_aside, result.aside_copy);
    note_outcome("done", result);
    return outcome;
}

RECOMPUTE_STATUS recompute_status() {
    RecomputeState& state = recompute_state();
    std::lock_guard<std::mutex> hold(state.mutex);
    RECOMPUTE_STATUS status;
    status.in_progress = state.running;
    status.samples_done = state.done;
    status.outcome = state.outcome;
    status.last = state.last;
    return status;
}
