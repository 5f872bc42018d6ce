// The set-up page's folder learning run: LearnFromPicData in the running
// library, on a thread of its own so that the page can follow its progress.
#include "qxvisor/cli.h"
#include "qxvisor/serve.h"

#include <httplib.h>
#include <qx_ai.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <thread>

namespace fs = std::filesystem;

namespace {

struct LearningJob {
    std::mutex lock;
    std::thread runner;
    bool running = false;
    int total = 0;
    int result = 1;  // 1: no run yet
};

LearningJob job;

// The pictures a run will read: pic_data's files and its product folders' files.
int pictures_in_pic_data() {
    int count = 0;
    std::error_code error;
    for (fs::directory_iterator it("pic_data", error), end; !error && it != end; it.increment(error)) {
        if (it->is_regular_file()) ++count;
        if (!it->is_directory() || it->is_symlink()) continue;
        std::error_code inner;
        for (fs::directory_iterator file(it->path(), inner), last; !inner && file != last; file.increment(inner))
            if (file->is_regular_file()) ++count;
    }
    return count;
}

}  // namespace

void add_learning_routes(httplib::Server& server) {
    server.Post("/api/learn", [](const httplib::Request&, httplib::Response& response) {
        std::lock_guard<std::mutex> hold(job.lock);
        if (job.running) {
            send_conflict(response, QX_ERR_IMPORTING, "a learning run is going on");
            return;
        }
        if (job.runner.joinable()) job.runner.join();
        job.total = pictures_in_pic_data();
        if (job.total == 0) {
            send_json(response, result_json(QX_ERR_ARGUMENT).add("problem", "pic_data holds no pictures to learn").text(), 400);
            return;
        }
        job.running = true;
        // No library lock: recognitions meanwhile get the library's own
        // "learning data is being rebuilt" answer instead of waiting.
        job.runner = std::thread([] {
            int result = LearnFromPicData();
            std::lock_guard<std::mutex> done(job.lock);
            job.result = result;
            job.running = false;
        });
        send_json(response, result_json(QX_OK).add("total", job.total).text());
    });
    server.Get("/api/learn", [](const httplib::Request&, httplib::Response& response) {
        std::string state = library_status();
        std::lock_guard<std::mutex> hold(job.lock);
        JsonObject answer;
        answer.add("running", job.running).add("total", job.total).add("done", json_number(state, "done"));
        if (!job.running && job.result != 1) {
            JsonObject outcome = result_json(job.result);
            explain_failure(outcome, job.result, "nothing was learned, the learned data in use was kept");
            answer.add_raw("outcome", outcome.text());
        }
        answer.add("samples", learned_samples());
        send_json(response, answer.text());
    });
}

void stop_learning() {
    std::thread runner;
    {
        std::lock_guard<std::mutex> hold(job.lock);
        runner = std::move(job.runner);
    }
    if (runner.joinable()) runner.join();  // a run cannot be cut short: it ends all or nothing
}

int learn_following(size_t total, const std::function<void(size_t done, size_t total)>& report) {
    std::mutex lock;
    std::condition_variable finished;
    bool done = false;
    // The run blocks; a watcher reports the library's count of learned pictures meanwhile.
    std::thread watcher([&] {
        std::unique_lock<std::mutex> hold(lock);
        size_t last = static_cast<size_t>(-1);
        while (!finished.wait_for(hold, std::chrono::milliseconds(300), [&] { return done; })) {
            size_t now = static_cast<size_t>(json_number(library_status(), "done"));
            if (now != last) report(std::min(now, total), total);
            last = now;
        }
    });
    int result = LearnFromPicData();
    {
        std::lock_guard<std::mutex> hold(lock);
        done = true;
    }
    finished.notify_one();
    watcher.join();
    if (result == QX_OK) report(total, total);
    return result;
}
