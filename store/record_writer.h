#pragma once
// Writes recognition records on a thread of its own, so that a recognition
// returns without waiting for the database's disk flushes. Whoever reads or
// replaces the file first calls flush().
//
// A file held by another connection is tried again for as long as SQLite's
// own default busy time-out (kHeldWait), so that a feedback later finds its
// record; only stop() gives up sooner, dropping what still waits for the held
// file with one log line that counts it.
#include "store/database.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class RecordWriter {
public:
    enum class Outcome { kWritten, kFailed, kHeld };
    // Writes one batch into the file at `path`, all or nothing, waiting at most
    // about kAttempt for a held file (then kHeld); must not throw. kFailed is
    // for a write that will not succeed by trying again, and is logged by it.
    using Write = std::function<Outcome(const std::string& path, const std::vector<DB_RECORD>& batch)>;

    // `release`, when given, is called on the writer's thread as it ends: what
    // the writes keep open between batches (a connection) goes with it.
    explicit RecordWriter(Write write, std::function<void()> release = nullptr);
    ~RecordWriter();
    RecordWriter(const RecordWriter&) = delete;
    RecordWriter& operator=(const RecordWriter&) = delete;

    // Hands a record over (the thread starts on the first one). Waits only
    // while kMaxPending records are still unwritten. Never throws: without a
    // thread the record is written before returning.
    void queue(const std::string& path, DB_RECORD record) noexcept;
    // Returns once every record queued before the call is written (or its
    // failure logged).
    void flush() noexcept;
    // flush(), then ends the thread; a later queue() starts a new one.
    void stop() noexcept;

    static constexpr size_t kMaxPending = 256;
    static constexpr std::chrono::milliseconds kAttempt{200};
    static constexpr std::chrono::seconds kHeldWait{60};
    static constexpr std::chrono::milliseconds kRetryPause{20};

private:
    void run();
    // False when stop() came while the file was held: the batch is dropped.
    bool write_patiently(const std::string& path, const std::vector<DB_RECORD>& batch);

    Write write_;
    std::function<void()> release_;
    std::mutex mutex_;
    std::condition_variable wake_;     // a record is waiting, or stop
    std::condition_variable written_;  // a batch is done
    std::deque<std::pair<std::string, DB_RECORD>> pending_;
    unsigned long long queued_ = 0;
    unsigned long long done_ = 0;
    bool stopping_ = false;
    size_t dropped_ = 0;  // rows stop() gave up on, logged as the thread ends
    std::thread thread_;
};
