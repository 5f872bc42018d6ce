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
// Same into a buffer of `size` bytes: a code whose text would not fit is left
// out, and the codes after it that fit are still listed.
void tool_code_string_2_char_n(const std::string* codes, int count, char* text, size_t size);
// Splits a code list text into at most 10 slots; later slots keep their content.
void tool_splitstring(char* text, std::string* slots);
// 1-based position of `code` among 10 slots, -1 when absent.
int tool_gettopno(const std::string* slots, const char* code);

std::string tool_get_session_id();
std::string tool_getnowdate();
// Working directory + "/"; every file of the library hangs from it. Whatever
// the path's length; when the working directory cannot be had at all, "./" with
// a log line, so that files still land in it and never at the root.
std::string tool_get_dll_path();
// Appends folder + "/" + name for every entry ("." and ".." included), unsorted.
void tools_get_files(const std::string& folder, std::vector<std::string>& entries);
int tool_exists_file(const char* path);
void tool_del_rod(char* text);
void tool_del_rod(std::string& text);

// The one rule for a product code, wherever one enters (feedback, pic_data's
// names, an imported store): 1 to kQxCodeMaxBytes bytes, no comma (it would
// make one code two in the code list), no control character (0x00-0x1F, 0x7F),
// and not "0" (the code list's mark of an empty slot). The longest code still
// leaves room for two more in the 100-byte code list. nullptr when `code`
// follows the rule, else why not, for the log line.
constexpr size_t kQxCodeMaxBytes = 32;
const char* tool_code_fault(const std::string& code);

// Product codes name folders under pic_data: refuses "", ".", "..", and codes
// holding "/", "\\" or a NUL byte, so no code reaches outside its own folder.
bool tool_code_is_safe_folder(const std::string& code);
// Creates a new file beside `path` ("<path>.XXXXXX", the X's random), mode
// 0600, exclusively: a file or link planted in advance is never opened. The
// open descriptor (the caller closes it), or -1; its name goes to `temporary`.
int tool_open_temp_beside(const std::string& path, std::string& temporary);
// Writes `data` to `path` through a temporary file in the same folder and a
// rename, so a crash never leaves half a file. The temporary file gets an
// unpredictable name and is created exclusively; the rename replaces a symbolic
// link at `path` instead of writing through it. False on any failure.
// kFlushed waits until the data is on the disk before the rename: for files
// that must survive a power cut (settings, bindings, filed product pictures).
// kUnflushed leaves that to the system: for pictures a restart throws away,
// where a flush would cost the caller tens of milliseconds on an SD card.
enum class QxDurability { kFlushed, kUnflushed };
bool tool_write_file_atomic(const std::string& path, const std::string& data,
                            QxDurability durability = QxDurability::kFlushed);
// Flushes made by tool_write_file_atomic since the process started.
unsigned long tool_flush_count();
// Reads a whole settings file of at most `limit` bytes. Refuses (false, the
// reason in `why`) a missing file, anything that is not a regular file (a FIFO
// would block the caller), and a larger file, without reading it.
bool tool_read_small_file(const std::string& path, size_t limit, std::string& content, std::string& why);
// Makes `path` a folder of the library's own if it is missing. False when it is
// anything but a real folder (a symbolic link included): nothing may be written
// or deleted through it.
bool tool_own_folder(const std::string& path, unsigned mode = 0700);
// True when `path` itself is a symbolic link (a link further up is not looked at).
bool tool_is_link(const std::string& path);
// Where the library writes or deletes under a fixed name, a symbolic link
// planted there is refused rather than followed out of the working folder:
// true, with one log line naming `what`, when `path` is a link.
bool tool_refuse_link(const std::string& path, const char* what);
