#pragma once
// The C boundary: every exported function runs its body through qx_guarded, so
// no exception leaves the library; a failure is logged and becomes `failure`.
// qx_gated adds the locks of docs/threading.md around the same body.
#include "store/CppSQLite3.h"

#include <exception>
#include <utility>

void qx_log_failure(const char* function, const char* what) noexcept;

template <typename Body>
int qx_guarded(const char* function, int failure, Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (const CppSQLite3Exception& e) {
        // The message carries the code: "SQLITE_BUSY[5]: database is locked".
        qx_log_failure(function, e.errorMessage());
    } catch (const std::exception& e) {
        qx_log_failure(function, e.what());
    } catch (...) {
        qx_log_failure(function, nullptr);
    }
    return failure;
}

// What an exported call needs of the library while it runs.
enum class QxAccess {
    kLifecycle,  // Init, Close, qx_ai_qxrelease: the state lock alone, exclusive
    kAny,        // the state held; the body itself checks params (catalogue, binding)
    kCamera,     // the state held and the camera lock; the body checks params
    kServe,      // after Init; learned data shared; QX_ERR_IMPORTING during a rebuild
    kData,       // after Init; learned data exclusive (export, clear, withdraw)
    kRebuild,    // as kData, and kServe calls are refused while it waits and runs
};

// One call's hold on the locks, taken in the constructor and given back by the
// destructor (or earlier by qx_leave_state). A call made from inside another
// exported call (folder learning clears the store) takes nothing: the outer call
// already holds what it needs.
class QxEntry {
public:
    QxEntry(const char* function, QxAccess access);
    ~QxEntry();
    QxEntry(const QxEntry&) = delete;
    QxEntry& operator=(const QxEntry&) = delete;
    // QX_OK when the body may run, else the call's answer.
    int refusal() const { return refusal_; }
    void leave() noexcept;

private:
    QxAccess access_;
    QxEntry* outer_;
    bool nested_;
    bool state_ = false;
    bool camera_ = false;
    bool data_ = false;
    bool announced_ = false;
    int refusal_ = 0;
};

template <typename Body>
int qx_gated(const char* function, int failure, QxAccess access, Body&& body) noexcept {
    return qx_guarded(function, failure, [&]() -> int {
        QxEntry entry(function, access);
        if (entry.refusal() != 0) return entry.refusal();
        return std::forward<Body>(body)();
    });
}

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
