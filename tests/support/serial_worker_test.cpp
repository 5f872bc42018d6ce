#include "support/serial_worker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

// Several host threads hand jobs over at once: each waits for its own job, and
// every job runs on the one thread the worker keeps, never on a caller's.
TEST(SerialWorker, EveryCallersJobRunsOnTheOneLongLivedThread) {
    std::set<std::thread::id> callers, runners;
    std::mutex seen;
    std::atomic<int> running{0}, overlapped{0};
    {
        SerialWorker worker;
        std::vector<std::thread> hosts;
        for (int h = 0; h < 4; ++h)
            hosts.emplace_back([&] {
                for (int i = 0; i < 50; ++i) {
                    int result = 0;
                    worker.run("job", [&] {
                        if (running.fetch_add(1) != 0) overlapped.fetch_add(1);
                        std::lock_guard<std::mutex> lock(seen);
                        runners.insert(std::this_thread::get_id());
                        result = i + 1;
                        running.fetch_sub(1);
                    });
                    // The job's result is there when run() returns.
                    EXPECT_EQ(result, i + 1);
                }
                std::lock_guard<std::mutex> lock(seen);
                callers.insert(std::this_thread::get_id());
            });
        for (auto& host : hosts) host.join();
    }
    ASSERT_EQ(runners.size(), 1u);
    EXPECT_EQ(callers.count(*runners.begin()), 0u);
    EXPECT_EQ(overlapped.load(), 0);
}

// What a job throws stays on the worker (logged), and the worker goes on.
TEST(SerialWorker, AThrowingJobReachesNeitherTheCallerNorTheNextJob) {
    SerialWorker worker;
    worker.run("throws std", [] { throw std::runtime_error("no"); });
    worker.run("throws int", [] { throw 7; });
    bool ran = false;
    worker.run("after", [&] { ran = true; });
    EXPECT_TRUE(ran);
}
