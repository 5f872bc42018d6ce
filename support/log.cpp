#include "support/log.h"

#include "support/tools.h"

#include <spdlog/sinks/daily_file_sink.h>
#include <spdlog/sinks/null_sink.h>

#include <algorithm>
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

int delete_daily() {
    std::vector<std::string> files;
    tools_get_files(tool_get_dll_path() + "tmp/", files);
    std::sort(files.begin(), files.end());
    if (files.size() > 7) {
        for (size_t i = 0; i + 7 < files.size(); ++i) std::remove(files[i].c_str());
    }
    return 0;
}
