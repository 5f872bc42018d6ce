#pragma once
// Ends a worker thread that sleeps on `wake` until `stopping` is set: sets the
// flag and wakes it under its mutex, then joins it outside the mutex, so that
// the thread can finish what it holds. Safe when no thread runs.
#include <condition_variable>
#include <mutex>
#include <thread>

inline void stop_thread(std::mutex& mutex, bool& stopping, std::condition_variable& wake, std::thread& thread) {
    std::thread ending;
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        wake.notify_one();
        ending = std::move(thread);
    }
    if (ending.joinable()) ending.join();
}
