#pragma once
// Small file helpers for tests.
#include <functional>
#include <string>
#include <vector>

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
bool file_exists(const std::string& path);
// Names in a folder, "." and ".." left out, sorted.
std::vector<std::string> list_dir(const std::string& folder);
// Whole lines of a text file.
std::vector<std::string> read_lines(const std::string& path);
// The n-th photo (sorted by name) of a grocery kind, e.g. ("train/Fruit/Banana", 0).
std::string grocery_photo(const std::string& kind, int n);
// The name of today's log file, "daily_YYYY-MM-DD.txt" in local time.
std::string today_day_file();
// Runs `call` on a thread of its own: false when it has not returned within
// 20 s, as when it waits in open() on a FIFO. The FIFOs then get both ends
// for a moment, so that the call can end and the test report.
bool returns_in_time(const std::function<void()>& call, const std::vector<std::string>& fifos);
