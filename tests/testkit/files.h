#pragma once
// Small file helpers for tests.
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
