// The record writer: order, batching, its limit on waiting records, and its
// thread's end and restart.
#include "store/database.h"
#include "store/record_writer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

DB_RECORD record(int n) {
    DB_RECORD made;
    made.session_id = std::to_string(n);
    return made;
}

// A write function that holds every batch until opened, and remembers them.
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
    std::vector<std::string> sessions;
    std::vector<std::string> paths;
    std::vector<size_t> batches;  // their sizes

    std::atomic<size_t> first_batch{0};  // records of the first write, known as it starts

    RecordWriter::Write write() {
        return [this](const std::string& path, const std::vector<DB_RECORD>& batch) {
            size_t none = 0;
            first_batch.compare_exchange_strong(none, batch.size());
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [this] { return open; });
            for (const DB_RECORD& r : batch) {
                sessions.push_back(r.session_id);
                paths.push_back(path);
            }
            batches.push_back(batch.size());
            return RecordWriter::Outcome::kWritten;
        };
    }
    void let_through() {
        std::lock_guard<std::mutex> lock(mutex);
        open = true;
        changed.notify_all();
    }
};

}  // namespace

TEST(RecordWriter, KeepsOrderBatchesWhatWaitsAndHoldsTheCallerBeyondItsLimit) {
    Gate gate;
    RecordWriter writer(gate.write());
    const int total = 2 * static_cast<int>(RecordWriter::kMaxPending) + 40;
    std::atomic<int> handed{0};
    std::thread host([&] {
        for (int n = 0; n < total; ++n) {
            writer.queue("featurexYz.db", record(n));
            ++handed;
        }
    });
    // The first batch is in the held write and kMaxPending records wait: the
    // next hand-over waits too.
    auto held = [&] { return static_cast<int>(gate.first_batch + RecordWriter::kMaxPending); };
    while (gate.first_batch == 0 || handed < held()) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(handed, held());
    gate.let_through();
    host.join();
    writer.flush();
    std::lock_guard<std::mutex> lock(gate.mutex);
    ASSERT_EQ(gate.sessions.size(), static_cast<size_t>(total));
    for (int n = 0; n < total; ++n) EXPECT_EQ(gate.sessions[n], std::to_string(n));
    // Everything that waited behind the held write went in the next one.
    ASSERT_GE(gate.batches.size(), 2u);
    EXPECT_EQ(gate.batches[1], RecordWriter::kMaxPending);
}

TEST(RecordWriter, StopWritesEverythingAndALaterRecordStartsItAgain) {
    Gate gate;
    gate.let_through();
    RecordWriter writer(gate.write());
    writer.flush();  // nothing queued, no thread: returns at once
    writer.queue("a.db", record(1));
    writer.queue("b.db", record(2));
    writer.stop();
    {
        std::lock_guard<std::mutex> lock(gate.mutex);
        EXPECT_EQ(gate.sessions, (std::vector<std::string>{"1", "2"}));
        EXPECT_EQ(gate.paths, (std::vector<std::string>{"a.db", "b.db"}));
    }
    writer.queue("a.db", record(3));
    writer.flush();
    std::lock_guard<std::mutex> lock(gate.mutex);
    EXPECT_EQ(gate.sessions.size(), 3u);
}

// A file another connection holds is tried again until it is free; stop()
// gives up on what still waits for it instead.
TEST(RecordWriter, HeldFileIsTriedAgainUntilFreeAndStopDropsWhatWaits) {
    for (const bool stop_while_held : {false, true}) {
        SCOPED_TRACE(stop_while_held ? "stopped while held" : "freed");
        std::atomic<bool> held{true};
        std::atomic<int> attempts{0}, written{0};
        RecordWriter writer([&](const std::string&, const std::vector<DB_RECORD>& batch) {
            ++attempts;
            if (held) return RecordWriter::Outcome::kHeld;
            written += static_cast<int>(batch.size());
            return RecordWriter::Outcome::kWritten;
        });
        writer.queue("a.db", record(1));
        while (attempts < 3) std::this_thread::yield();
        if (stop_while_held) {
            writer.stop();
        } else {
            held = false;
            writer.flush();
        }
        EXPECT_EQ(written, stop_while_held ? 0 : 1);
    }
}
