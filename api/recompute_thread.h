#pragma once
// The thread Init starts to make a store that another engine made this
// engine's own, while the host's calls go on (docs/threading.md); and the
// progress and outcome of the recompute under way or last done, Init's or
// ImportData's, for the log and the set-up page.
#include "api/store_recompute.h"

#include <functional>
#include <string>

struct DB_HADNLE;

// Sets `importing` and starts the thread, which makes a copy of the live store
// the engine's, puts it in place and clears `importing`. Under the exclusive
// state lock, with the store already out of service.
void recompute_thread_start(DB_HADNLE* context, const CLSRETRI_PRODUCER& engine);
// Stops the thread and waits for it; for the lifecycle calls, under the
// exclusive state lock (the thread then holds no lock).
void recompute_thread_stop();

// recompute_store with its progress counted and its outcome noted, and logged
// when done. Throws as recompute_store.
Recomputed recompute_reported(const std::string& work, const CLSRETRI_PRODUCER& engine,
                              const std::function<bool()>& cancelled, RECOMPUTE_RESULT& result);

struct RECOMPUTE_STATUS {
    bool in_progress = false;
    long long samples_done = 0;  // of the one in progress
    std::string outcome;         // of the last: "", "done", "cancelled" or "failed: ..."
    RECOMPUTE_RESULT last;
};
RECOMPUTE_STATUS recompute_status();
