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
        {"0", true, 0},
        {"640", true, 640},
        {"+7", true, 7},
        {"-20", true, -20},
        {"007", true, 7},
        {"2147483647", true, INT_MAX},
        {"-2147483648", true, INT_MIN},
        {"2147483648", false, 0},
        {"-2147483649", false, 0},
        {"99999999999", false, 0},
        {"-99999999999", false, 0},
        {"99999999999999999999999", false, 0},
        {"-99999999999999999999999", false, 0},
        {"", false, 0},
        {" ", false, 0},
        {" 5", false, 0},
        {"5 ", false, 0},
        {"\t5", false, 0},
        {"+", false, 0},
        {"-", false, 0},
        {"+-5", false, 0},
        {"--5", false, 0},
        {"5x", false, 0},
        {"5.0", false, 0},
        {"1e3", false, 0},
        {"0x10", false, 0},
        {"abc", false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("\"") + c.text + "\"");
        int value = 12345;
        EXPECT_EQ(tool_read_int(c.text, &value), c.read);
        EXPECT_EQ(value, c.read ? c.value : 12345);
    }
}

TEST(Numbers, OverflowIsToldApartFromText) {
    const struct {
        const char* text;
        QxNumber result;
    } cases[] = {
        {"9223372036854775807", QxNumber::kRead},
        {"9223372036854775808", QxNumber::kOutOfRange},
        {"-9223372036854775809", QxNumber::kOutOfRange},
        {"101", QxNumber::kOutOfRange},
        {"-1", QxNumber::kOutOfRange},
        {"99999999999999999999x", QxNumber::kNotANumber},
        {"", QxNumber::kNotANumber},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        long long value = 0;
        const long long maximum = c.result == QxNumber::kRead ? LLONG_MAX : 100;
        EXPECT_EQ(tool_read_number(c.text, 0, maximum, &value), c.result);
    }
}
