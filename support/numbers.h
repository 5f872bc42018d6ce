#pragma once
// Whole numbers read from outside the library: forms, the command line,
// dev.ini, JSON members given as text, and values stored in databases.
//
// One reader for all of them, because `long` is 32 bits wide on the board:
// comparing strtol's result with the int range accepts an overflow there as
// INT_MAX. This reader works in 64 bits whatever `long` is and tells an
// overflow apart from a text that is no number.
#include <string>

enum class QxNumber {
    kRead,        // the value is set
    kNotANumber,  // empty, blanks, a sign alone, other characters, trailing text
    kOutOfRange,  // digits only, but beyond [minimum, maximum]
};

// Reads `text` whole as a decimal integer: an optional '+' or '-' and one or
// more digits, nothing else (no blanks: callers that allow them trim first).
// `value` changes only on kRead.
QxNumber tool_read_number(const std::string& text, long long minimum, long long maximum, long long* value);
// An int, read as above; false for anything but kRead.
bool tool_read_int(const std::string& text, int* value);
