#include "api/rw_lock.h"

void QxRwLock::lock() {
    std::unique_lock<std::mutex> hold(mutex_);
    ++writers_waiting_;
    changed_.wait(hold, [this] { return !writer_ && readers_ == 0; });
    --writers_waiting_;
    writer_ = true;
}

void QxRwLock::unlock() {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        writer_ = false;
    }
    changed_.notify_all();
}

void QxRwLock::lock_shared() {
    std::unique_lock<std::mutex> hold(mutex_);
    changed_.wait(hold, [this] { return !writer_ && writers_waiting_ == 0; });
    ++readers_;
}

bool QxRwLock::try_lock_shared() {
    std::lock_guard<std::mutex> hold(mutex_);
    if (writer_ || writers_waiting_ > 0) return false;
    ++readers_;
    return true;
}

void QxRwLock::unlock_shared() {
    bool last;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        last = --readers_ == 0;
    }
    if (last) changed_.notify_all();
}
