// The set-up page's accuracy run: `qxvisor eval --json` (a fixed gallery, or
// with --stream a shop's learning curve) in a child process, in a folder of its
// own, so that the shop's learned data and the library instance serving the
// page stay untouched.
#include "qxvisor/cli.h"
#include "qxvisor/serve.h"
#include "qxvisor/serve_guard.h"
#include "support/numbers.h"

#include <httplib.h>
#include <qx_ai.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char* const kEvalFolder = "qxvisor-eval";
// Points of a stream's curve kept while it runs; a page cannot draw more anyway.
const size_t kCurvePoints = 10000;

struct EvalJob {
    std::mutex lock;
    std::thread reader;
    pid_t child = -1;
    bool running = false;
    std::string mode;   // "gallery" or "stream"
    std::string phase;  // "learning", then "recognising", then a stream's "heldout"
    size_t done = 0, total = 0;
    std::vector<std::string> curve;  // the stream's blocks so far, as the child printed them
    std::string result;   // the child's JSON
    std::string problem;  // why the page shows no result
    std::string detail;   // the child's complaint when it failed
};

EvalJob job;

// A progress line of the run's phases ("learning", "progress" while it
// recognises or weighs, "heldout" for the held-out pictures) into the job;
// false for any other line.
bool progress_line(const std::string& line) {
    static const std::pair<const char*, const char*> phases[] = {
        {"learning %zu %zu", "learning"}, {"progress %zu %zu", "recognising"}, {"heldout %zu %zu", "heldout"}};
    for (const auto& [format, phase] : phases) {
        size_t done = 0, total = 0;
        if (std::sscanf(line.c_str(), format, &done, &total) != 2) continue;
        std::lock_guard<std::mutex> hold(job.lock);
        job.phase = phase;
        job.done = done;
        job.total = total;
        return true;
    }
    return false;
}

// Collects the child's progress lines and its answer until it ends.
void follow(int out_fd, int err_fd, pid_t child) {
    std::string out_text, err_line, err_text;
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    int open_fds = 2;
    char buffer[4096];
    while (open_fds > 0) {
        if (poll(fds, 2, -1) < 0) break;
        for (pollfd& fd : fds) {
            if (fd.fd < 0 || !(fd.revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = read(fd.fd, buffer, sizeof buffer);
            if (n <= 0) {
                close(fd.fd);
                fd.fd = -1;
                --open_fds;
                continue;
            }
            if (fd.fd == out_fd) {
                out_text.append(buffer, static_cast<size_t>(n));
                continue;
            }
            for (ssize_t i = 0; i < n; ++i) {
                if (buffer[i] != '\n') {
                    err_line += buffer[i];
                    continue;
                }
                const bool block = err_line.rfind("block {", 0) == 0;
                if (block) {
                    std::lock_guard<std::mutex> hold(job.lock);
                    if (job.curve.size() < kCurvePoints) job.curve.push_back(err_line.substr(6));
                } else if (!progress_line(err_line) && err_text.size() < 4000) {
                    err_text += err_line + "\n";
                }
                err_line.clear();
            }
        }
    }
    int status = 0;
    waitpid(child, &status, 0);
    std::lock_guard<std::mutex> hold(job.lock);
    job.running = false;
    job.child = -1;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && !out_text.empty()) {
        job.result = out_text;
    } else {
        // The run's own complaint names pictures and result codes: a details line.
        job.problem = "the accuracy run stopped before its end";
        job.detail = err_text;
    }
}

std::vector<char*> pointers(std::vector<std::string>& words) {
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);
    return argv;
}

// Where the machine cannot execute the board's binaries (a test run of the Arm
// build on a PC), the tool runs under user-mode emulation and QX_EMULATOR
// names the emulator's command; the run starts through it. Empty otherwise.
std::vector<std::string> emulated_command(std::vector<std::string> words) {
    const char* emulator = std::getenv("QX_EMULATOR");
    if (!emulator || !*emulator) return {};
    // /proc/self/exe reads as the tool's own file only inside the emulator: it is named outright.
    char self[4096];
    const ssize_t length = readlink(words[0].c_str(), self, sizeof self - 1);
    if (length > 0) words[0].assign(self, static_cast<size_t>(length));
    std::vector<std::string> command;
    std::istringstream split(emulator);
    for (std::string word; split >> word;) command.push_back(word);
    command.insert(command.end(), words.begin(), words.end());
    return command;
}

// What a run is asked for, checked.
struct EvalRequest {
    std::string train, test, heldout;  // real paths inside the working folder; heldout may be ""
    int shots = 5;
    bool stream = false;
    int block = 100, seed = 1;
};

// Reads the form into *run; "" when it holds, else why not.
std::string read_request(const httplib::Request& request, EvalRequest* run) {
    std::string train, test, heldout, mode = "gallery", shots = "5", block = "100", seed = "1";
    form_value(request, "shots", &shots);
    form_value(request, "mode", &mode);
    form_value(request, "block", &block);
    form_value(request, "seed", &seed);
    form_value(request, "heldout", &heldout);
    if (!form_value(request, "train", &train) || !form_value(request, "test", &test) || !parse_int(shots, &run->shots) ||
        run->shots < 1 || run->shots > 1000)
        return "train, test and shots (1 to 1000) are required";
    if (mode != "gallery" && mode != "stream") return "mode is gallery or stream";
    run->stream = mode == "stream";
    if (run->stream && (!parse_int(block, &run->block) || run->block < 1 || run->block > 100000))
        return "block is a number of weighings, 1 to 100000";
    if (run->stream) {
        long long value = 0;
        const QxNumber read = tool_read_number(seed, INT_MIN, INT_MAX, &value);
        if (read == QxNumber::kOutOfRange) return "seed is out of range: -2147483648 to 2147483647";
        if (read != QxNumber::kRead) return "seed is a whole number";
        run->seed = static_cast<int>(value);
    }
    // Only folders inside the working folder, however the names are spelt.
    run->train = inside_folder(".", train);
    run->test = inside_folder(".", test);
    if (run->train.empty() || run->test.empty() || !fs::is_directory(run->train) || !fs::is_directory(run->test))
        return "both must be folders inside the working folder";
    if (run->stream && !heldout.empty()) {
        run->heldout = inside_folder(".", heldout);
        if (run->heldout.empty() || !fs::is_directory(run->heldout))
            return "the held-out folder must be a folder inside the working folder";
    }
    return "";
}

// Starts the run; "" on success, else why not.
std::string start(const std::string& tool, const EvalRequest& run) {
    std::error_code error;
    fs::remove_all(kEvalFolder, error);
    fs::create_directories(kEvalFolder, error);
    if (error) return "cannot prepare the folder " + std::string(kEvalFolder);
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0) return "no pipe";
    if (pipe2(err_pipe, O_CLOEXEC) != 0) {
        close(out_pipe[0]);
        close(out_pipe[1]);
        return "no pipe";
    }
    std::vector<std::string> words = {tool, "eval", run.train, run.test, "--shots", std::to_string(run.shots), "--force", "--json"};
    if (run.stream)
        words.insert(words.end(), {"--stream", "--block", std::to_string(run.block), "--seed", std::to_string(run.seed)});
    if (!run.heldout.empty()) words.insert(words.end(), {"--heldout", run.heldout});
    // Made before the fork: the child of a threaded server only executes.
    std::vector<std::string> emulated = emulated_command(words);
    words[0] = "qxvisor";
    std::vector<char*> argv = pointers(words), emulated_argv = pointers(emulated);
    long open_max = std::min(sysconf(_SC_OPEN_MAX), 65536L);
    pid_t child = fork();
    if (child == 0) {
        dup2(out_pipe[1], STDOUT_FILENO);
        dup2(err_pipe[1], STDERR_FILENO);
        // The run must not hold the server's sockets open.
        for (long fd = 3; fd < open_max; ++fd) close(static_cast<int>(fd));
        if (chdir(kEvalFolder) != 0) _exit(126);
        execv(tool.c_str(), argv.data());
        if (errno == ENOEXEC && emulated_argv.size() > 1) execvp(emulated_argv[0], emulated_argv.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (child < 0) {
        close(out_pipe[0]);
        close(err_pipe[0]);
        return "cannot start the accuracy run";
    }
    job.child = child;
    job.running = true;
    job.done = job.total = 0;
    job.phase = "learning";
    job.mode = run.stream ? "stream" : "gallery";
    job.curve.clear();
    job.result.clear();
    job.problem.clear();
    job.detail.clear();
    job.reader = std::thread(follow, out_pipe[0], err_pipe[0], child);
    return "";
}

}  // namespace

void add_eval_routes(httplib::Server& server, const std::string& tool_path) {
    server.Post("/api/eval", [tool_path](const httplib::Request& request, httplib::Response& response) {
        EvalRequest run;
        std::string refused = read_request(request, &run);
        if (!refused.empty()) {
            send_json(response, result_json(QX_ERR_ARGUMENT).add("problem", refused).text(), 400);
            return;
        }
        std::lock_guard<std::mutex> hold(job.lock);
        if (job.running) {
            send_conflict(response, QX_ERR_ARGUMENT, "an accuracy run is going on");
            return;
        }
        if (job.reader.joinable()) job.reader.join();
        std::string problem = start(tool_path, run);
        if (!problem.empty()) {
            send_json(response, result_json(QX_ERR_INTERNAL).add("problem", problem).text(), 500);
            return;
        }
        send_json(response, result_json(QX_OK).text());
    });
    server.Get("/api/eval", [](const httplib::Request&, httplib::Response& response) {
        std::lock_guard<std::mutex> hold(job.lock);
        send_json(response, JsonObject().add("running", job.running).add("mode", job.mode).add("phase", job.phase)
                                .add("done", static_cast<long long>(job.done)).add("total", static_cast<long long>(job.total))
                                .add_raw("curve", json_array(job.curve))
                                .add_raw("result", job.result.empty() ? "null" : job.result).add("problem", job.problem)
                                .add("detail", job.detail).text());
    });
}

void stop_eval() {
    std::thread reader;
    {
        std::lock_guard<std::mutex> hold(job.lock);
        if (job.child > 0) kill(job.child, SIGTERM);
        reader = std::move(job.reader);
    }
    if (reader.joinable()) reader.join();
}
