#include "store/record_writer.h"

#include "support/log.h"
#include "support/thread_stop.h"

#include <utility>

RecordWriter::RecordWriter(Write write, std::function<void()> release)
    : write_(std::move(write)), release_(std::move(release)) {}

RecordWriter::~RecordWriter() { stop(); }

void RecordWriter::queue(const std::string& path, DB_RECORD record) noexcept {
    try {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!thread_.joinable()) {
            stopping_ = false;
            thread_ = std::thread([this] { run(); });
        }
        written_.wait(lock, [this] { return pending_.size() < kMaxPending; });
        pending_.emplace_back(path, std::move(record));
        ++queued_;
        wake_.notify_one();
        return;
    } catch (...) {
        // No thread (or no memory for the queue): write it on the caller's time.
    }
    try {
        write_patiently(path, std::vector<DB_RECORD>{std::move(record)});
    } catch (...) {
    }
}

void RecordWriter::flush() noexcept {
    try {
        std::unique_lock<std::mutex> lock(mutex_);
        const unsigned long long target = queued_;
        written_.wait(lock, [&] { return done_ >= target || !thread_.joinable(); });
    } catch (...) {
    }
}

void RecordWriter::stop() noexcept {
    try {
        stop_thread(mutex_, stopping_, wake_, thread_);
    } catch (...) {
    }
}

void RecordWriter::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
        if (pending_.empty()) break;  // stopping, and everything is written
        // Everything waiting goes in one batch; records are grouped by file.
        std::string path;
        std::vector<DB_RECORD> batch;
        size_t taken = 0;
        try {
            path = pending_.front().first;
            while (!pending_.empty() && pending_.front().first == path) {
                batch.push_back(std::move(pending_.front().second));
                pending_.pop_front();
                ++taken;
            }
        } catch (...) {
            // Out of memory: the first record is dropped rather than retried forever.
            if (taken == 0) {
                pending_.pop_front();
                taken = 1;
            }
        }
        written_.notify_all();  // room for callers held back by kMaxPending
        lock.unlock();
        const bool kept = batch.empty() || write_patiently(path, batch);
        lock.lock();
        if (!kept) dropped_ += batch.size();
        done_ += taken;
        written_.notify_all();
    }
    if (release_) {
        lock.unlock();
        release_();
        lock.lock();
    }
    if (dropped_ == 0) return;
    logger->info("{} recognition records dropped on closing: the database file was held by another connection",
                 dropped_);
    dropped_ = 0;
}

bool RecordWriter::write_patiently(const std::string& path, const std::vector<DB_RECORD>& batch) {
    const auto since = std::chrono::steady_clock::now();
    for (;;) {
        Outcome outcome = Outcome::kFailed;
        try {
            outcome = write_(path, batch);
        } catch (...) {
        }
        if (outcome != Outcome::kHeld) return true;
        {
            // SQLite may answer "busy" without waiting (two writers each
            // holding what the other needs): a short pause, which stop() ends.
            std::unique_lock<std::mutex> lock(mutex_);
            if (wake_.wait_for(lock, kRetryPause, [this] { return stopping_; })) return false;
        }
        if (std::chrono::steady_clock::now() - since >= kHeldWait) {
            logger->info("save_record failed");
            logger->info("the database file was held for {} s", kHeldWait.count());
            return true;
        }
    }
}
