#pragma once
// The entry gate of every exported call: which of the library's locks the call
// holds while its body runs, and the answers it gets before the body runs at
// all (docs/threading.md). The exception guard around it is api/guard.h.
#include "api/guard.h"

#include <atomic>
#include <initializer_list>
#include <utility>

// What an exported call needs of the library while it runs.
enum class QxAccess {
    kLifecycle,  // Init, Close, qx_ai_qxrelease: the state lock exclusive; cancels a folder learning run
    kAny,        // the state held; needs no Init (catalogue, engine bench)
    kReady,      // the state held; QX_ERR_NOT_READY before Init (binding)
    kCamera,     // the state held and the camera lock; the body checks params
    kServe,      // after Init; learned data shared; QX_ERR_IMPORTING during a rebuild
    kRead,       // after Init; learned data shared, a rebuild or not (TestDetect, ExportData)
    kData,       // after Init; learned data exclusive; QX_ERR_IMPORTING during a rebuild
    kRebuild,    // after Init; sets `importing` for the call, QX_ERR_IMPORTING while another
                 // rebuild runs; takes the learned data only to put the result in place (QxStoreSwap)
};

// One call's hold on the locks, taken in the constructor and given back by the
// destructor (or earlier by qx_leave_state).
class QxEntry {
public:
    // `required` are the call's pointer arguments that must not be null.
    QxEntry(const char* function, QxAccess access, std::initializer_list<const void*> required);
    ~QxEntry();
    QxEntry(const QxEntry&) = delete;
    QxEntry& operator=(const QxEntry&) = delete;
    // QX_OK when the body may run, else the call's answer.
    int refusal() const { return refusal_; }
    void leave() noexcept;

private:
    int admit(const char* function, std::initializer_list<const void*> required);

    QxAccess access_;
    bool state_ = false;
    bool camera_ = false;
    bool data_ = false;
    bool rebuilding_ = false;
    int refusal_ = 0;
};

template <typename Body>
int qx_gated(const char* function, int failure, QxAccess access, std::initializer_list<const void*> required,
             Body&& body) noexcept {
    return qx_guarded(function, failure, [&]() -> int {
        QxEntry entry(function, access, required);
        if (entry.refusal() != 0) return entry.refusal();
        return std::forward<Body>(body)();
    });
}

template <typename Body>
int qx_gated(const char* function, int failure, QxAccess access, Body&& body) noexcept {
    return qx_gated(function, failure, access, {}, std::forward<Body>(body));
}

// The learned data held exclusively for as long as it lives: a rebuild (kRebuild)
// puts its new store in place under it, once the calls using the old one are done.
class QxStoreSwap {
public:
    QxStoreSwap();
    ~QxStoreSwap();
    QxStoreSwap(const QxStoreSwap&) = delete;
    QxStoreSwap& operator=(const QxStoreSwap&) = delete;
};

// True while Init, Close or qx_ai_qxrelease waits for the calls in progress: a
// folder learning run then gives up between two pictures instead of holding
// them off for the rest of the folder.
bool qx_lifecycle_waiting() noexcept;

// Gives up the current call's locks before a slow step that needs nothing of the
// library (a network request), so Close never waits for it. From here on the
// call must not touch params. Returns the run (one Init to the next state change)
// the call belongs to.
unsigned long long qx_leave_state() noexcept;

// Takes the state lock again for a short step of a call that left it; `current`
// tells whether the run is still the one the call began in.
class QxRunEntry {
public:
    explicit QxRunEntry(unsigned long long run);
    ~QxRunEntry();
    QxRunEntry(const QxRunEntry&) = delete;
    QxRunEntry& operator=(const QxRunEntry&) = delete;
    bool current() const { return current_; }

private:
    bool current_;
};

// The run of the call in progress; only under the state lock.
unsigned long long qx_current_run() noexcept;

// A thread of the library's own (a store recompute started by Init) holding
// the state lock shared, as a call does, for as long as it lives: admitted
// only while the run it was started for is still the current one. It never
// blocks on the lock, so that a lifecycle call holding it may stop the thread
// and wait for it: until admitted it tries again every few milliseconds and
// gives up as soon as `cancel` is set.
class QxBackgroundEntry {
public:
    QxBackgroundEntry(unsigned long long run, const std::atomic<bool>& cancel);
    ~QxBackgroundEntry();
    QxBackgroundEntry(const QxBackgroundEntry&) = delete;
    QxBackgroundEntry& operator=(const QxBackgroundEntry&) = delete;
    bool admitted() const { return admitted_; }

private:
    bool held_ = false;
    bool admitted_ = false;
};
