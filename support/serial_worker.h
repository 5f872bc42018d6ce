#pragma once
// One long-lived thread that runs the jobs handed to it, one after another,
// while each caller waits for its own. A call pays a hand-over, not a thread
// start: under load a new thread has to wait for a core before it runs at all.
//
// The thread starts with the first job and ends with the worker. Nothing a job
// throws leaves the thread: it is logged under the job's name.
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class SerialWorker {
public:
    SerialWorker() = default;
    ~SerialWorker();
    SerialWorker(const SerialWorker&) = delete;
    SerialWorker& operator=(const SerialWorker&) = delete;

    // Runs `job` on the worker's thread and returns when it has finished. If
    // the thread cannot be started, the job runs on the caller's thread.
    void run(const char* what, const std::function<void()>& job) noexcept;

private:
    struct Job {
        const char* what;
        const std::function<void()>* work;
        bool done = false;
    };

    void serve();
    static void run_logged(const Job& job) noexcept;

    std::mutex mutex_;
    std::condition_variable wake_;      // a job is waiting, or stop
    std::condition_variable finished_;  // a job is done
    std::deque<Job*> pending_;
    bool stopping_ = false;
    std::thread thread_;
};
