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

bool QxRwLock::lock_shared_unless_announced() {
    std::unique_lock<std::mutex> hold(mutex_);
    changed_.wait(hold, [this] { return announced_ > 0 || (!writer_ && writers_waiting_ == 0); });
    if (announced_ > 0) return false;
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

void QxRwLock::announce() {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        ++announced_;
    }
    changed_.notify_all();
}

void QxRwLock::withdraw() {
    std::lock_guard<std::mutex> hold(mutex_);
    --announced_;
}
