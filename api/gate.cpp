// The entry gate of every exported call: the state lock, the learned-data lock
// and the camera lock, taken in that order (docs/threading.md).
#include "api/gate.h"

#include "api/context.h"
#include "api/rw_lock.h"
#include "qx_ai.h"
#include "support/log.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

QxRwLock g_state_lock;
QxRwLock g_data_lock;
// Written only under the exclusive state lock, read under the shared one.
unsigned long long g_run = 0;
// Lifecycle calls waiting for the state lock or holding it.
std::atomic<int> g_lifecycle{0};
// The entry of the call this thread is in, for qx_leave_state.
thread_local QxEntry* t_entry = nullptr;

bool needs_init(QxAccess access) { return access != QxAccess::kAny && access != QxAccess::kCamera; }

}  // namespace

std::mutex g_camera_mutex;
std::mutex g_engine_mutex;

QxEntry::QxEntry(const char* function, QxAccess access, std::initializer_list<const void*> required)
    : access_(access) {
    t_entry = this;
    try {
        refusal_ = admit(function, required);
    } catch (...) {
        leave();
        throw;
    }
}

int QxEntry::admit(const char* function, std::initializer_list<const void*> required) {
    if (access_ == QxAccess::kLifecycle) {
        // Counted while it waits, so that a learning run sees it and stops.
        ++g_lifecycle;
        struct Arrived {
            ~Arrived() { --g_lifecycle; }
        } arrived;
        g_state_lock.lock();
        state_ = true;
        ++g_run;
        return QX_OK;
    }
    g_state_lock.lock_shared();
    state_ = true;
    if (access_ == QxAccess::kCamera) {
        g_camera_mutex.lock();
        camera_ = true;
    }
    if (needs_init(access_) && !params) {
        logger->info("{}: Init has not run", function);
        return QX_ERR_NOT_READY;
    }
    for (const void* pointer : required)
        if (!pointer) {
            logger->info("{}: a required argument is NULL", function);
            return QX_ERR_ARGUMENT;
        }
    const bool refuses = access_ == QxAccess::kServe || access_ == QxAccess::kData;
    if ((refuses && params->importing) || (access_ == QxAccess::kRebuild && params->importing.exchange(true))) {
        logger->info("正在导入学习资料");
        return QX_ERR_IMPORTING;
    }
    rebuilding_ = access_ == QxAccess::kRebuild;
    if (access_ == QxAccess::kServe || access_ == QxAccess::kRead) {
        g_data_lock.lock_shared();
        data_ = true;
    } else if (access_ == QxAccess::kData) {
        g_data_lock.lock();
        data_ = true;
    }
    return QX_OK;
}

QxEntry::~QxEntry() { leave(); }

void QxEntry::leave() noexcept {
    if (data_) {
        if (access_ == QxAccess::kData)
            g_data_lock.unlock();
        else
            g_data_lock.unlock_shared();
        data_ = false;
    }
    if (rebuilding_) {
        params->importing = false;
        rebuilding_ = false;
    }
    if (camera_) {
        g_camera_mutex.unlock();
        camera_ = false;
    }
    if (state_) {
        if (access_ == QxAccess::kLifecycle)
            g_state_lock.unlock();
        else
            g_state_lock.unlock_shared();
        state_ = false;
    }
    // A call made after leaving must take its own locks.
    if (t_entry == this) t_entry = nullptr;
}

QxStoreSwap::QxStoreSwap() { g_data_lock.lock(); }

QxStoreSwap::~QxStoreSwap() { g_data_lock.unlock(); }

bool qx_lifecycle_waiting() noexcept { return g_lifecycle.load() > 0; }

unsigned long long qx_leave_state() noexcept {
    const unsigned long long run = g_run;
    if (t_entry) t_entry->leave();
    return run;
}

QxRunEntry::QxRunEntry(unsigned long long run) {
    g_state_lock.lock_shared();
    current_ = params != nullptr && g_run == run;
}

QxRunEntry::~QxRunEntry() { g_state_lock.unlock_shared(); }

unsigned long long qx_current_run() noexcept { return g_run; }

QxBackgroundEntry::QxBackgroundEntry(unsigned long long run, const std::atomic<bool>& cancel) {
    while (!g_state_lock.try_lock_shared()) {
        if (cancel) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    held_ = true;
    admitted_ = !cancel && params != nullptr && g_run == run;
}

QxBackgroundEntry::~QxBackgroundEntry() {
    if (held_) g_state_lock.unlock_shared();
}
