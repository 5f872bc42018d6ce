#include "support/log.h"

#include "support/tools.h"

#include <spdlog/sinks/daily_file_sink.h>
#include <spdlog/sinks/null_sink.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <vector>

const QxLoggerRef logger;
std::string log_path = "tmp/daily.txt";

namespace {

std::mutex g_log_mutex;
std::shared_ptr<spdlog::logger> g_current;
bool g_current_is_fallback = false;
// Replaced loggers stay alive: another thread may still be inside a call on one.
std::vector<std::shared_ptr<spdlog::logger>> g_retired;

// Before each day file is opened (at start and at every rotation): the log
// folder and the day file must be the library's own, never a symbolic or hard
// link that would carry the log (cloud answers included) out of the working
// folder, nor a FIFO or device, on which the sink's open would wait for ever.
// The file is made here without following a link nor waiting; the sink then
// appends to it.
void refuse_foreign_day_file(const spdlog::filename_t& path) {
    const std::string folder = path.substr(0, path.rfind('/'));
    // Readable by the technician's account, as the log folder always was.
    if (!tool_own_folder(folder, 0755)) throw spdlog::spdlog_ex(folder + " is not a folder of its own");
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
        // A FIFO without a reader answers ENXIO at once.
        const char* why = errno == ELOOP   ? " is a symbolic link"
                          : errno == ENXIO ? " is not a regular file"
                                           : " cannot be opened";
        throw spdlog::spdlog_ex(path + why, errno);
    }
    struct stat status;
    const bool stat_ok = fstat(fd, &status) == 0;
    close(fd);
    if (!stat_ok || !S_ISREG(status.st_mode)) throw spdlog::spdlog_ex(path + " is not a regular file");
    if (status.st_nlink > 1) throw spdlog::spdlog_ex(path + " has more than one hard link");
}

// Open LogBatch objects of this thread.
thread_local int t_batches = 0;
// From Init on every line is written through to the file as it is logged,
// except those of a thread inside a LogBatch: they go with its last line.
std::atomic<bool> g_write_through{false};

// The day file's sink, writing each line through when it should: the logger's
// own rule (flush_on) knows no threads.
class WriteThroughSink : public spdlog::sinks::sink {
public:
    explicit WriteThroughSink(std::shared_ptr<spdlog::sinks::sink> file) : file_(std::move(file)) {}
    void log(const spdlog::details::log_msg& message) override {
        file_->log(message);
        if (g_write_through && t_batches == 0) file_->flush();
    }
    void flush() override { file_->flush(); }
    void set_pattern(const std::string& pattern) override { file_->set_pattern(pattern); }
    void set_formatter(std::unique_ptr<spdlog::formatter> formatter) override { file_->set_formatter(std::move(formatter)); }
    const std::shared_ptr<spdlog::sinks::sink>& file() const { return file_; }

private:
    std::shared_ptr<spdlog::sinks::sink> file_;
};

std::shared_ptr<spdlog::logger> make_logger(bool& fallback) {
    fallback = false;
    try {
        // Rotation at 02:07, append to today's file, keep every file (pruning is ours).
        spdlog::file_event_handlers checks;
        checks.before_open = refuse_foreign_day_file;
        auto file = std::make_shared<spdlog::sinks::daily_file_sink_mt>(log_path, 2, 7, false, 0, checks);
        return std::make_shared<spdlog::logger>("daily_logger", std::make_shared<WriteThroughSink>(std::move(file)));
    } catch (const std::exception& e) {
        // An unwritable working directory or a planted link must not stop the
        // library: log nowhere, and say why once where a technician looks.
        std::fprintf(stderr, "daily log refused, messages go nowhere: %s\n", e.what());
        fallback = true;
        return std::make_shared<spdlog::logger>("daily_logger",
                                                std::make_shared<spdlog::sinks::null_sink_mt>());
    }
}

}  // namespace

std::shared_ptr<spdlog::logger> QxLoggerRef::get() const {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    if (!g_current) {
        g_current = make_logger(g_current_is_fallback);
        g_current->set_level(spdlog::level::info);
        g_current->flush_on(spdlog::level::off);  // the sink writes through (WriteThroughSink)
    }
    return g_current;
}

void log_flush_every_message() { g_write_through = true; }

LogBatch::LogBatch() noexcept { ++t_batches; }

LogBatch::~LogBatch() {
    if (--t_batches > 0 || !g_write_through) return;
    try {
        logger->flush();
    } catch (...) {
        // The lines stay in the file's buffer: the next line written through takes them.
    }
}

void log_reopen() {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    if (g_current) {
        g_current->flush();
        g_retired.push_back(std::move(g_current));
    }
    g_current.reset();
}

bool log_is_fallback() {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    return g_current && g_current_is_fallback;
}

std::string log_current_file() {
    std::shared_ptr<spdlog::logger> current;
    {
        std::lock_guard<std::mutex> lock(g_log_mutex);
        if (g_current_is_fallback) return "";
        current = g_current;
    }
    if (!current || current->sinks().empty()) return "";
    auto through = std::dynamic_pointer_cast<WriteThroughSink>(current->sinks().front());
    auto day_sink = through ? std::dynamic_pointer_cast<spdlog::sinks::daily_file_sink_mt>(through->file()) : nullptr;
    return day_sink ? day_sink->filename() : "";
}

namespace {

// "daily_YYYY-MM-DD.txt" exactly: names of that form sort by date.
bool is_day_file(const std::string& name) {
    static const std::string pattern = "daily_####-##-##.txt";
    if (name.size() != pattern.size()) return false;
    for (size_t i = 0; i < name.size(); ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(name[i])) != 0;
        if (pattern[i] == '#' ? !digit : name[i] != pattern[i]) return false;
    }
    return true;
}

}  // namespace

int delete_daily() {
    const std::string folder = tool_get_dll_path() + "tmp/";
    // The day files of a linked log folder lie outside: they are not ours to prune.
    if (tool_refuse_link(folder.substr(0, folder.size() - 1), "log folder")) return 0;
    std::vector<std::string> entries, days;
    tools_get_files(folder, entries);
    for (const std::string& entry : entries) {
        struct stat status;
        if (is_day_file(entry.substr(entry.rfind('/') + 1)) && lstat(entry.c_str(), &status) == 0 &&
            S_ISREG(status.st_mode))
            days.push_back(entry);
    }
    std::sort(days.begin(), days.end());
    for (size_t i = 0; i + 7 < days.size(); ++i) std::remove(days[i].c_str());
    return 0;
}

void qx_log_failure(const char* function, const char* what) noexcept {
    try {
        logger->info("{} failed: {}", function, what ? what : "unknown error");
    } catch (...) {
        // Nowhere left to report to; the result code still tells the host.
    }
}
