#include "support/log.h"

#include "support/tools.h"

#include <spdlog/sinks/daily_file_sink.h>
#include <spdlog/sinks/null_sink.h>

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <mutex>
#include <vector>

const QxLoggerRef logger;
std::string log_path = "tmp/daily.txt";

namespace {

std::mutex g_log_mutex;
std::shared_ptr<spdlog::logger> g_current;
bool g_current_is_fallback = false;
bool g_flush_info = false;
// Replaced loggers stay alive: another thread may still be inside a call on one.
std::vector<std::shared_ptr<spdlog::logger>> g_retired;

std::shared_ptr<spdlog::logger> make_logger(bool& fallback) {
    fallback = false;
    try {
        // Rotation at 02:07, append to today's file, keep every file (pruning is ours).
        auto sink = std::make_shared<spdlog::sinks::daily_file_sink_mt>(log_path, 2, 7, false, 0);
        return std::make_shared<spdlog::logger>("daily_logger", std::move(sink));
    } catch (...) {
        // An unwritable working directory must not stop the library: log nowhere.
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
        g_current->flush_on(g_flush_info ? spdlog::level::info : spdlog::level::off);
    }
    return g_current;
}

void log_flush_every_message() {
    std::shared_ptr<spdlog::logger> current;
    {
        std::lock_guard<std::mutex> lock(g_log_mutex);
        g_flush_info = true;
        current = g_current;
    }
    if (current) current->flush_on(spdlog::level::info);
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
