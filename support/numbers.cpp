#include "support/numbers.h"

#include <charconv>
#include <climits>
#include <system_error>

QxNumber tool_read_number(const std::string& text, long long minimum, long long maximum, long long* value) {
    const char* begin = text.data();
    const char* end = begin + text.size();
    // from_chars takes '-' but not '+'; a second sign after '+' must still be refused.
    if (begin != end && *begin == '+') {
        ++begin;
        if (begin != end && *begin == '-') return QxNumber::kNotANumber;
    }
    long long parsed = 0;
    const std::from_chars_result read = std::from_chars(begin, end, parsed, 10);
    if (read.ec == std::errc::invalid_argument || read.ptr != end) return QxNumber::kNotANumber;
    if (read.ec == std::errc::result_out_of_range || parsed < minimum || parsed > maximum)
        return QxNumber::kOutOfRange;
    *value = parsed;
    return QxNumber::kRead;
}

bool tool_read_int(const std::string& text, int* value) {
    long long parsed = 0;
    if (tool_read_number(text, INT_MIN, INT_MAX, &parsed) != QxNumber::kRead) return false;
    *value = static_cast<int>(parsed);
    return true;
}
