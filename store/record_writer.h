#pragma once
// Writes recognition records on a thread of its own, so that a recognition
// returns without waiting for the database's disk flushes. Whoever reads or
// replaces the file first calls flush().
#include "store/database.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class RecordWriter {
public:
    // Writes one batch into the file at `path`; must not throw.
    using Write = std::function<void(const std::string& path, const std::vector<DB_RECORD>& batch)>;

    explicit RecordWriter(Write write);
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

private:
    void run();

    Write write_;
    std::mutex mutex_;
    std::condition_variable wake_;     // a record is waiting, or stop
    std::condition_variable written_;  // a batch is done
    std::deque<std::pair<std::string, DB_RECORD>> pending_;
    unsigned long long queued_ = 0;
    unsigned long long done_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};
