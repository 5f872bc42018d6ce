#pragma once
// Shared text formats (feature text, code list text, session id, date text) and
// the small file-system helpers every room of the library uses.
#include <string>
#include <vector>

// Feature text: one "%f," entry per value. Appends to the text already in `text`;
// the caller provides room for tool_feature_text_size(count) bytes.
void tool_feature_float_2_char(const float* values, char* text, int count);
// Bytes a feature text of `count` values can need, terminator included, whatever the values.
size_t tool_feature_text_size(const float* values, int count);
// The feature text of `count` values as a string (no fixed buffer to size).
std::string tool_feature_text(const float* values, int count);
// Splits at commas into consecutive slots; empty pieces are skipped, a piece
// that is no number stores 0 (a piece that starts with a number stores that
// number, as strtod reads it).
void tool_feature_char_2_float(char* text, float* values);
// Same, but never writes more than `capacity` values.
int tool_feature_char_2_float_n(char* text, float* values, int capacity);
// Same without touching the text: no copy is needed to read a stored feature.
// Returns the number of values written.
int tool_feature_read(const char* text, float* values, int capacity);

// Code list text: every code that is neither empty nor "0", each followed by ",".
void tool_code_string_2_char(const std::string* codes, char* text, int count);
// Same into a buffer of `size` bytes: stops before a code whose text would not fit.
void tool_code_string_2_char_n(const std::string* codes, int count, char* text, size_t size);
// Splits a code list text into at most 10 slots; later slots keep their content.
void tool_splitstring(char* text, std::string* slots);
// 1-based position of `code` among 10 slots, -1 when absent.
int tool_gettopno(const std::string* slots, const char* code);

std::string tool_get_session_id();
std::string tool_getnowdate();
// Working directory + "/"; every file of the library hangs from it.
std::string tool_get_dll_path();
// Appends folder + "/" + name for every entry ("." and ".." included), unsorted.
void tools_get_files(const std::string& folder, std::vector<std::string>& entries);
int tool_exists_file(const char* path);
void tool_del_rod(char* text);
void tool_del_rod(std::string& text);

// Product codes name folders under pic_data: refuses "", ".", "..", and codes
// holding "/", "\\" or a NUL byte, so no code reaches outside its own folder.
bool tool_code_is_safe_folder(const std::string& code);
// Writes `data` to `path` through a temporary file in the same folder and a
// rename, so a crash never leaves half a file. False on any failure.
bool tool_write_file_atomic(const std::string& path, const std::string& data);
