#include "testkit/files.h"
#include "testkit/temp_dir.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>

#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

void write_file(const std::string& path, const std::string& content) {
    fs::path p(path);
    if (p.has_parent_path()) fs::create_directories(p.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

bool file_exists(const std::string& path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

std::vector<std::string> list_dir(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> read_lines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string grocery_photo(const std::string& kind, int n) {
    std::vector<std::string> photos;
    for (const auto& entry : std::filesystem::directory_iterator(shared_path("data/grocery/" + kind)))
        photos.push_back(entry.path().string());
    std::sort(photos.begin(), photos.end());
    return photos.at(static_cast<size_t>(n));
}

std::string today_day_file() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char name[64];
    std::strftime(name, sizeof name, "daily_%Y-%m-%d.txt", &local);
    return name;
}

bool returns_in_time(const std::function<void()>& call, const std::vector<std::string>& fifos) {
    std::atomic<bool> done{false};
    std::thread runner([&] {
        call();
        done = true;
    });
    for (int i = 0; i < 200 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const bool in_time = done;
    if (!in_time) {
        // Its open() returns once the FIFO has both ends; when they close
        // again, a read sees the end and a write fails (not a signal).
        std::signal(SIGPIPE, SIG_IGN);
        std::vector<int> ends;
        for (const std::string& fifo : fifos) ends.push_back(open(fifo.c_str(), O_RDWR | O_NONBLOCK));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        for (int end : ends) close(end);
    }
    runner.join();
    return in_time;
}
