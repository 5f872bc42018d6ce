#include "support/tools.h"

#include "support/log.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <random>
#include <string>

namespace {

// The longest "%f," of a float: 39 integer digits, a sign, a point, six
// decimals and the comma.
constexpr size_t kLongestItem = 48;

// `value` as "%f," writes it (six decimals, correctly rounded, "inf", "nan"
// and "-nan" as glibc writes them), into `out` with room for kLongestItem
// bytes; returns the end. std::to_chars rounds the exact binary value as
// printf does, at a fraction of its cost: a recognition writes 160 of them.
char* write_item(float value, char* out) {
    const double wide = value;
    if (!std::isfinite(wide)) return out + std::snprintf(out, kLongestItem, "%f,", wide);
    const std::to_chars_result written = std::to_chars(out, out + kLongestItem - 1, wide, std::chars_format::fixed, 6);
    *written.ptr = ',';
    return written.ptr + 1;
}

}  // namespace

void tool_feature_float_2_char(const float* values, char* text, int count) {
    char* end = text + std::strlen(text);
    for (int i = 0; i < count; ++i) end = write_item(values[i], end);
    *end = '\0';
}

size_t tool_feature_text_size(const float* values, int count) {
    size_t size = 1;
    char item[kLongestItem];
    for (int i = 0; i < count; ++i) size += static_cast<size_t>(write_item(values[i], item) - item);
    return size;
}

std::string tool_feature_text(const float* values, int count) {
    std::string text;
    text.reserve(static_cast<size_t>(std::max(count, 0)) * 10);
    char item[kLongestItem];
    for (int i = 0; i < count; ++i) text.append(item, write_item(values[i], item));
    return text;
}

namespace {

// strtod on one piece, for the forms the fast path leaves to it (signs, spaces,
// hexadecimal, inf, nan, numbers out of range, trailing junk).
double read_piece_with_strtod(const char* begin, const char* end) {
    const size_t size = static_cast<size_t>(end - begin);
    char small[64];
    if (size < sizeof small) {
        std::memcpy(small, begin, size);
        small[size] = '\0';
        return std::strtod(small, nullptr);
    }
    return std::strtod(std::string(begin, size).c_str(), nullptr);
}

// A piece in a plain decimal form of any length is read by from_chars: it
// rounds correctly like glibc's strtod, so both give the same double, without
// strtod's locale lookups and without a copy of the piece.
float read_piece(const char* begin, const char* end) {
    const char* digits = (*begin == '-') ? begin + 1 : begin;
    if (digits < end && (std::isdigit(static_cast<unsigned char>(*digits)) || *digits == '.')) {
        double value = 0.0;
        const std::from_chars_result read = std::from_chars(begin, end, value);
        if (read.ec == std::errc() && read.ptr == end) return static_cast<float>(value);
    }
    return static_cast<float>(read_piece_with_strtod(begin, end));
}

// The form the writer makes, "-123.456789" with at most 15 digits: they make
// an integer a double holds exactly, and one division by a power of ten that
// a double also holds exactly rounds correctly, so this is strtod's double.
// False, reading nothing, for any other piece.
bool read_written_piece(const char* text, const char** end, float* value) {
    static constexpr double kPowersOfTen[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                              1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    const char* next = text;
    const bool negative = (*next == '-');
    if (negative) ++next;
    uint64_t mantissa = 0;
    int digits = 0, decimals = 0;
    for (; *next >= '0' && *next <= '9'; ++next, ++digits) mantissa = mantissa * 10 + static_cast<uint64_t>(*next - '0');
    if (*next == '.') {
        for (++next; *next >= '0' && *next <= '9'; ++next, ++digits, ++decimals)
            mantissa = mantissa * 10 + static_cast<uint64_t>(*next - '0');
    }
    if (digits == 0 || digits > 15 || (*next != ',' && *next != '\0')) return false;
    const double magnitude = static_cast<double>(mantissa) / kPowersOfTen[decimals];
    *value = static_cast<float>(negative ? -magnitude : magnitude);
    *end = next;
    return true;
}

}  // namespace

int tool_feature_read(const char* text, float* values, int capacity) {
    int n = 0;
    if (!text) return n;
    const char* next = text;
    while (n < capacity) {
        while (*next == ',') ++next;
        if (*next == '\0') break;
        const char* end = nullptr;
        if (!read_written_piece(next, &end, &values[n])) {
            end = std::strchr(next, ',');
            if (!end) end = next + std::strlen(next);
            values[n] = read_piece(next, end);
        }
        ++n;
        next = end;
    }
    return n;
}

int tool_feature_char_2_float_n(char* text, float* values, int capacity) {
    return tool_feature_read(text, values, capacity);
}

void tool_feature_char_2_float(char* text, float* values) {
    tool_feature_char_2_float_n(text, values, 1 << 30);
}

static bool code_is_listed(const std::string& code) { return !code.empty() && code != "0"; }

void tool_code_string_2_char(const std::string* codes, char* text, int count) {
    for (int i = 0; i < count; ++i)
        if (code_is_listed(codes[i])) std::strcat(std::strcat(text, codes[i].c_str()), ",");
}

void tool_code_string_2_char_n(const std::string* codes, int count, char* text, size_t size) {
    size_t used = std::strlen(text);
    for (int i = 0; i < count; ++i) {
        if (!code_is_listed(codes[i])) continue;
        // One code too long for the answer must not take the others with it.
        if (used + codes[i].size() + 1 >= size) continue;
        std::memcpy(text + used, codes[i].data(), codes[i].size());
        used += codes[i].size();
        text[used++] = ',';
        text[used] = '\0';
    }
}

void tool_splitstring(char* text, std::string* slots) {
    int n = 0;
    char* save = nullptr;
    for (char* piece = strtok_r(text, ",", &save); piece && n < 10;
         piece = strtok_r(nullptr, ",", &save)) {
        slots[n++] = piece;
    }
}

int tool_gettopno(const std::string* slots, const char* code) {
    for (int i = 0; i < 10; ++i)
        if (slots[i] == code) return i + 1;
    return -1;
}

std::string tool_get_session_id() {
    // One generator for the process: two recognitions in the same second must
    // still get different ids, or feedback would learn from the wrong record.
    static std::mutex mutex;
    static std::mt19937 generator{std::random_device{}()};
    static std::uniform_int_distribution<long long> draw(0, 2147483647LL);
    long long r;
    {
        std::lock_guard<std::mutex> lock(mutex);
        r = draw(generator);
    }
    std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    char text[64];
    std::snprintf(text, sizeof text, "%d%d%d%d%d%d%lld", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                  t.tm_hour + 8, t.tm_min, t.tm_sec, r + 1000000000LL);
    return text;
}

std::string tool_getnowdate() {
    std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    char text[64];
    std::snprintf(text, sizeof text, "%4d-%02d-%02d %02d:%02d:%02d.000", t.tm_year + 1900,
                  t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    return text;
}

std::string tool_get_dll_path() {
    // No fixed buffer: a path that does not fit must never shorten to "/".
    std::vector<char> buffer(256);
    while (!getcwd(buffer.data(), buffer.size())) {
        if (errno != ERANGE || buffer.size() >= (1u << 20)) {
            logger->info("working directory unknown ({}): files stay relative to it", std::strerror(errno));
            return "./";
        }
        buffer.resize(buffer.size() * 2);
    }
    std::string path = std::string(buffer.data()) + "/";
    logger->info("new_dll:{}", path);
    return path;
}

void tools_get_files(const std::string& folder, std::vector<std::string>& entries) {
    DIR* dir = opendir(folder.c_str());
    if (!dir) return;
    while (dirent* entry = readdir(dir)) entries.push_back(folder + "/" + entry->d_name);
    closedir(dir);
}

int tool_exists_file(const char* path) {
    FILE* file = std::fopen(path, "r");
    if (!file) return 0;
    std::fclose(file);
    return 1;
}

void tool_del_rod(char* text) {
    char* out = text;
    for (const char* in = text; *in; ++in)
        if (*in != '-') *out++ = *in;
    *out = '\0';
}

void tool_del_rod(std::string& text) {
    std::string kept;
    for (char c : text)
        if (c != '-') kept += c;
    text = kept;
}

const char* tool_code_fault(const std::string& code) {
    if (code.empty()) return "empty";
    if (code.size() > kQxCodeMaxBytes) return "longer than 32 bytes";
    if (code == "0") return "\"0\" marks an empty slot of the code list";
    for (char c : code) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == ',') return "holds a comma, which separates the code list";
        if (byte < 0x20 || byte == 0x7f) return "holds a control character";
    }
    return nullptr;
}

bool tool_code_is_safe_folder(const std::string& code) {
    if (code.empty() || code == "." || code == "..") return false;
    return code.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

namespace {

// Closes a descriptor on every path.
struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) close(fd);
    }
};

bool write_all(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t written = write(fd, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

}  // namespace

int tool_open_temp_beside(const std::string& path, std::string& temporary) {
    temporary = path + ".XXXXXX";
    const int fd = mkostemp(&temporary[0], O_CLOEXEC);
    if (fd < 0) temporary.clear();
    return fd;
}

namespace {
std::atomic<unsigned long> g_flushes{0};
}  // namespace

unsigned long tool_flush_count() { return g_flushes.load(); }

bool tool_write_file_atomic(const std::string& path, const std::string& data, QxDurability durability) {
    std::string temporary;
    Descriptor file{tool_open_temp_beside(path, temporary)};
    if (file.fd < 0) return false;
    // mkstemp makes the file private; the library's files are ordinary ones.
    bool written = fchmod(file.fd, 0644) == 0 && write_all(file.fd, data.data(), data.size());
    if (written && durability == QxDurability::kFlushed) {
        ++g_flushes;
        written = fsync(file.fd) == 0;
    }
    written = close(file.fd) == 0 && written;
    file.fd = -1;
    if (!written || std::rename(temporary.c_str(), path.c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool tool_read_small_file(const std::string& path, size_t limit, std::string& content, std::string& why) {
    content.clear();
    // Non-blocking, so that opening a FIFO returns at once instead of waiting for a writer.
    Descriptor file{open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    if (file.fd < 0) {
        why = std::strerror(errno);
        return false;
    }
    struct stat status;
    if (fstat(file.fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        why = "not a regular file";
        return false;
    }
    if (static_cast<unsigned long long>(status.st_size) > limit) {
        why = "larger than " + std::to_string(limit) + " bytes";
        return false;
    }
    char chunk[65536];
    for (;;) {
        const ssize_t got = read(file.fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            why = std::strerror(errno);
            return false;
        }
        if (got == 0) return true;
        // A file that grows while it is read is cut at the limit, never followed.
        if (content.size() + static_cast<size_t>(got) > limit) {
            why = "larger than " + std::to_string(limit) + " bytes";
            return false;
        }
        content.append(chunk, static_cast<size_t>(got));
    }
}

bool tool_own_folder(const std::string& path, unsigned mode) {
    if (mkdir(path.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST) return false;
    struct stat status;
    return lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool tool_is_link(const std::string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode);
}

bool tool_refuse_link(const std::string& path, const char* what) {
    if (!tool_is_link(path)) return false;
    logger->info("{} refused, a symbolic link is never followed:{}", what, path);
    return true;
}
