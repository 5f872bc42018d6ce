// The entry gate of every exported call: the state lock, the learned-data lock
// and the camera lock, taken in that order (docs/threading.md).
#include "api/context.h"
#include "api/guard.h"
#include "api/rw_lock.h"
#include "qx_ai.h"
#include "store/database.h"
#include "support/log.h"

namespace {

QxRwLock g_state_lock;
QxRwLock g_data_lock;
// Written only under the exclusive state lock, read under the shared one.
unsigned long long g_run = 0;
thread_local QxEntry* t_entry = nullptr;

bool needs_init(QxAccess access) {
    return access == QxAccess::kServe || access == QxAccess::kData || access == QxAccess::kRebuild;
}

}  // namespace

std::mutex g_camera_mutex;
std::mutex g_engine_mutex;

QxEntry::QxEntry(const char* function, QxAccess access)
    : access_(access), outer_(t_entry), nested_(t_entry != nullptr) {
    if (nested_) return;
    t_entry = this;
    try {
        if (access == QxAccess::kLifecycle) {
            g_state_lock.lock();
            state_ = true;
            ++g_run;
            return;
        }
        g_state_lock.lock_shared();
        state_ = true;
        if (access == QxAccess::kCamera) {
            g_camera_mutex.lock();
            camera_ = true;
        }
        if (!needs_init(access)) return;
        if (!params) {
            logger->info("{}: Init has not run", function);
            refusal_ = QX_ERR_NOT_READY;
            return;
        }
        if (access == QxAccess::kServe) {
            data_ = g_data_lock.lock_shared_unless_announced();
            if (!data_) {
                logger->info("正在导入学习资料");
                refusal_ = QX_ERR_IMPORTING;
            }
            return;
        }
        if (access == QxAccess::kRebuild) {
            g_data_lock.announce();
            announced_ = true;
        }
        g_data_lock.lock();
        data_ = true;
        // Records on their way reach the file before it is copied or
        // replaced; no recognition can queue another while this lock is held.
        db_flush_records(params);
    } catch (...) {
        leave();
        t_entry = outer_;
        throw;
    }
}

QxEntry::~QxEntry() {
    if (nested_) return;
    leave();
    t_entry = outer_;
}

void QxEntry::leave() noexcept {
    if (nested_) return;
    if (data_) {
        if (access_ == QxAccess::kServe)
            g_data_lock.unlock_shared();
        else
            g_data_lock.unlock();
        data_ = false;
    }
    if (announced_) {
        g_data_lock.withdraw();
        announced_ = false;
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
    if (t_entry == this) t_entry = outer_;
}

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
