#pragma once
// The library's one logger, "daily_logger": a daily file tmp/daily_YYYY-MM-DD.txt
// under the process's working directory, spdlog's default line layout, level info.
#include <spdlog/logger.h>

#include <memory>
#include <string>

// `logger->info("...", args)` reads like a plain shared_ptr. The logger itself is
// made on first use, so its file lands in the working directory the host has
// when it first logs rather than the one it had when it loaded the library.
class QxLoggerRef {
public:
    std::shared_ptr<spdlog::logger> operator->() const { return get(); }
    std::shared_ptr<spdlog::logger> get() const;
};

extern const QxLoggerRef logger;
extern std::string log_path;  // "tmp/daily.txt", the base name the daily sink dates

// One line "<function> failed: <what>" (what may be null); never throws.
void qx_log_failure(const char* function, const char* what) noexcept;

// Init: from now on every message is written through to the file at once
// (except inside a LogBatch).
void log_flush_every_message();

// While one lives on a thread, the lines that thread logs are written to the
// file together when the outermost ends: one write for a recognition's dozen
// lines instead of one each. Another thread's line may take them out sooner,
// never later; their order and text are unchanged. Not for a stretch in which
// a crash would need its lines on disk (the engine's run).
class LogBatch {
public:
    LogBatch() noexcept;
    ~LogBatch();
    LogBatch(const LogBatch&) = delete;
    LogBatch& operator=(const LogBatch&) = delete;
};
// Drops the current logger so that the next message opens the day file again
// under the current working directory (used by Init after a failed opening).
void log_reopen();
// True while messages go nowhere because the day file could not be opened.
bool log_is_fallback();
// The day file the logger writes now ("" before its first message, or while
// messages go nowhere). From midnight until the rotation at 02:07 it is still
// the previous day's; the next message after 02:07 moves on. Never logs.
std::string log_current_file();
// Keeps the seven newest day files ("daily_YYYY-MM-DD.txt", regular files) of
// tmp/ and removes older ones; whatever else tmp/ holds is the host's. Always 0.
int delete_daily();
