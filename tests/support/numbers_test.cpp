#include "support/numbers.h"

#include <gtest/gtest.h>

#include <climits>

// Runs in the native suite and under emulation on the board's 32-bit Arm,
// where `long` has the int range: the overflows must be refused on both.
TEST(Numbers, IntsAreReadWholeAndOverflowIsRefused) {
    const struct {
        const char* text;
        bool read;
        int value;
    } cases[] = {
        {"0", true, 0}, {"640", true, 640}, {"+7", true, 7}, {"-20", true, -20}, {"007", true, 7},
        {"2147483647", true, INT_MAX}, {"-2147483648", true, INT_MIN},
        // overflow on both sides, just beyond and far beyond long's range
        {"2147483648", false, 0}, {"-2147483649", false, 0}, {"99999999999", false, 0},
        {"-99999999999", false, 0}, {"99999999999999999999999", false, 0}, {"-99999999999999999999999", false, 0},
        // blanks, signs alone or twice, trailing text, other forms
        {"", false, 0}, {" ", false, 0}, {" 5", false, 0}, {"5 ", false, 0}, {"\t5", false, 0}, {"+", false, 0},
        {"-", false, 0}, {"+-5", false, 0}, {"--5", false, 0}, {"5x", false, 0}, {"5.0", false, 0},
        {"1e3", false, 0}, {"0x10", false, 0}, {"abc", false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("\"") + c.text + "\"");
        int value = 12345;
        EXPECT_EQ(tool_read_int(c.text, &value), c.read);
        EXPECT_EQ(value, c.read ? c.value : 12345);
    }
}

TEST(Numbers, OverflowIsToldApartFromText) {
    long long value = 0;
    EXPECT_EQ(tool_read_number("9223372036854775807", 0, LLONG_MAX, &value), QxNumber::kRead);
    EXPECT_EQ(tool_read_number("9223372036854775808", 0, LLONG_MAX, &value), QxNumber::kOutOfRange);
    EXPECT_EQ(tool_read_number("-9223372036854775809", LLONG_MIN, 0, &value), QxNumber::kOutOfRange);
    EXPECT_EQ(tool_read_number("101", 0, 100, &value), QxNumber::kOutOfRange);
    EXPECT_EQ(tool_read_number("99999999999999999999x", 0, 100, &value), QxNumber::kNotANumber);
}
