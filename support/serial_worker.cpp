#include "support/serial_worker.h"

#include "support/log.h"
#include "support/thread_stop.h"

#include <exception>

SerialWorker::~SerialWorker() {
    try {
        stop_thread(mutex_, stopping_, wake_, thread_);
    } catch (...) {
        // A join that fails leaves nothing to wait for.
    }
}

void SerialWorker::run_logged(const Job& job) noexcept {
    try {
        (*job.work)();
    } catch (const std::exception& e) {
        qx_log_failure(job.what, e.what());
    } catch (...) {
        qx_log_failure(job.what, nullptr);
    }
}

void SerialWorker::run(const char* what, const std::function<void()>& work) noexcept {
    Job job{what, &work};
    try {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!thread_.joinable()) thread_ = std::thread([this] { serve(); });
        pending_.push_back(&job);
        wake_.notify_one();
        finished_.wait(lock, [&] { return job.done; });
        return;
    } catch (...) {
        // No thread or no memory for the queue: the job was not queued.
    }
    run_logged(job);
}

void SerialWorker::serve() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
        if (pending_.empty()) return;  // stopping, and no caller waits
        Job* job = pending_.front();
        pending_.pop_front();
        lock.unlock();
        run_logged(*job);
        lock.lock();
        job->done = true;
        finished_.notify_all();
    }
}
