#include "support/tools.h"
#include "testkit/feature_reference.h"
#include "testkit/files.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <random>
#include <regex>
#include <set>
#include <string>

TEST(FeatureText, WritesSixDecimalsEachFollowedByComma) {
    const float values[] = {0.5f, -0.25f, 0.000001f};
    char text[64] = "";
    tool_feature_float_2_char(values, text, 3);
    EXPECT_STREQ(text, "0.500000,-0.250000,0.000001,");
    char appended[64] = "x";
    tool_feature_float_2_char(values, appended, 3);
    EXPECT_STREQ(appended, "x0.500000,-0.250000,0.000001,");
}

// The text is what "%f," has always written, to the byte: the stored
// features, exports and older copies of the library read it. Every kind of
// float: the engine's, exact halves at the sixth decimal (ties), the smallest
// and largest, subnormals, signed zeros, and values that are not numbers.
TEST(FeatureText, IsWhatPrintfWritesForEveryKindOfFloat) {
    std::vector<float> values = {0.0f, -0.0f, 0.0078125f, -0.0078125f, 0.0000005f, 0.0000015f, 0.9999995f,
                                 1e-45f, -1e-45f, 1.17549435e-38f, 3.4028235e38f, -3.4028235e38f, 123456.789f,
                                 std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                                 std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::quiet_NaN()};
    for (int m = -300; m <= 300; ++m) values.push_back(static_cast<float>(m) / 128.0f);  // exact ties
    std::mt19937 generator(11);
    std::normal_distribution<float> feature(0.0f, 0.08f);
    std::uniform_int_distribution<uint32_t> bits;
    for (int i = 0; i < 20000; ++i) {
        values.push_back(feature(generator));
        const uint32_t pattern = bits(generator);
        float any;
        std::memcpy(&any, &pattern, sizeof any);
        values.push_back(any);
    }
    std::string expected;
    for (float v : values) {
        char item[64];
        std::snprintf(item, sizeof item, "%f,", static_cast<double>(v));
        expected += item;
    }
    const int count = static_cast<int>(values.size());
    EXPECT_EQ(tool_feature_text(values.data(), count), expected);
    EXPECT_EQ(tool_feature_text_size(values.data(), count), expected.size() + 1);
    std::vector<char> text(expected.size() + 1, 'x');
    text[0] = '\0';
    tool_feature_float_2_char(values.data(), text.data(), count);
    EXPECT_EQ(std::string(text.data()), expected);
}

TEST(FeatureText, SizeCoversLargeValues) {
    std::vector<float> values(160, -0.5f);
    EXPECT_EQ(tool_feature_text(values.data(), 160).size(), 1600u);
    EXPECT_EQ(tool_feature_text_size(values.data(), 160), 1601u);
    const float big[] = {12.5f, -123.0f, 1e30f};
    std::string text = tool_feature_text(big, 3);
    EXPECT_EQ(text.substr(0, 22), "12.500000,-123.000000,");
    EXPECT_EQ(text.size() + 1, tool_feature_text_size(big, 3));
}

TEST(FeatureText, ReadSkipsEmptyPiecesAndRoundTrips) {
    char text[] = "0.5,,-0.25,";
    float values[3] = {7, 7, 7};
    tool_feature_char_2_float(text, values);
    EXPECT_FLOAT_EQ(values[0], 0.5f);
    EXPECT_FLOAT_EQ(values[1], -0.25f);
    EXPECT_FLOAT_EQ(values[2], 7.0f);

    std::vector<float> original(160);
    for (int i = 0; i < 160; ++i) original[i] = std::sin(i * 0.37f) * 0.9f;
    std::string written = tool_feature_text(original.data(), 160);
    std::vector<float> back(160, 0.0f);
    EXPECT_EQ(tool_feature_char_2_float_n(&written[0], back.data(), 160), 160);
    for (int i = 0; i < 160; ++i) EXPECT_NEAR(back[i], original[i], 6e-7);
}

TEST(FeatureText, BoundedReadStopsAtCapacity) {
    char text[] = "1,2,3,4,";
    float values[2] = {};
    EXPECT_EQ(tool_feature_char_2_float_n(text, values, 2), 2);
    char garbage[] = "abc,2,";
    EXPECT_EQ(tool_feature_char_2_float_n(garbage, values, 2), 2);
    EXPECT_FLOAT_EQ(values[0], 0.0f);
}

TEST(CodeList, LeavesOutEmptyAndZeroCodes) {
    std::string codes[10] = {"1001", "", "0", "1005"};
    char text[100] = "";
    tool_code_string_2_char(codes, text, 10);
    EXPECT_STREQ(text, "1001,1005,");
    std::string none[10];
    char empty[100] = "";
    tool_code_string_2_char(none, empty, 10);
    EXPECT_STREQ(empty, "");
}

TEST(CodeList, BoundedJoinNeverExceedsBuffer) {
    std::string codes[10];
    for (int i = 0; i < 10; ++i) codes[i] = std::string(15, static_cast<char>('a' + i));
    char text[100];
    std::memset(text, 0, sizeof text);
    tool_code_string_2_char_n(codes, 10, text, sizeof text);
    EXPECT_LE(std::strlen(text), 99u);
    EXPECT_EQ(std::strlen(text), 96u);  // six whole codes with their commas
    EXPECT_EQ(std::string(text).substr(0, 16), std::string(15, 'a') + ",");
}

TEST(CodeList, SplitAndRank) {
    char text[] = "1001,1005,";
    std::string slots[10];
    slots[5] = "kept";
    tool_splitstring(text, slots);
    EXPECT_EQ(slots[0], "1001");
    EXPECT_EQ(slots[1], "1005");
    EXPECT_EQ(slots[2], "");
    EXPECT_EQ(slots[5], "kept");
    EXPECT_EQ(tool_gettopno(slots, "1005"), 2);
    EXPECT_EQ(tool_gettopno(slots, "1002"), -1);

    char many[] = "1,2,3,4,5,6,7,8,9,10,11,12,";
    std::string ten[10];
    tool_splitstring(many, ten);
    EXPECT_EQ(ten[9], "10");
}

TEST(SessionId, HasTimeFieldsAndTenDigitNumber) {
    std::time_t before = std::time(nullptr);
    std::string id = tool_get_session_id();
    std::tm t{};
    localtime_r(&before, &t);
    std::string prefix = std::to_string(t.tm_year + 1900) + std::to_string(t.tm_mon + 1) +
                         std::to_string(t.tm_mday) + std::to_string(t.tm_hour + 8);
    EXPECT_EQ(id.compare(0, prefix.size(), prefix), 0) << id;
    long long number = std::stoll(id.substr(id.size() - 10));
    EXPECT_GE(number, 1000000000LL);
    EXPECT_LE(number, 3147483647LL);
}

TEST(SessionId, IdsMadeInTheSameSecondDiffer) {
    std::set<std::string> ids;
    for (int i = 0; i < 200; ++i) ids.insert(tool_get_session_id());
    EXPECT_GT(ids.size(), 195u);
}

TEST(DateText, Format) {
    EXPECT_TRUE(std::regex_match(tool_getnowdate(),
                                 std::regex(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.000)")));
}

TEST(DelRod, RemovesDashesOnly) {
    char date[] = "2026-12-06";
    tool_del_rod(date);
    EXPECT_STREQ(date, "20261206");
    std::string mac = "AA:BB:CC:DD:EE:FF";
    tool_del_rod(mac);
    EXPECT_EQ(mac, "AA:BB:CC:DD:EE:FF");
}

TEST(SafeFolderCode, RefusesCodesThatLeaveTheirFolder) {
    EXPECT_TRUE(tool_code_is_safe_folder("4001"));
    EXPECT_TRUE(tool_code_is_safe_folder("苹果"));
    for (const char* bad : {"", ".", "..", "a/b", "..\\x", "/", "../etc"})
        EXPECT_FALSE(tool_code_is_safe_folder(bad)) << bad;
    EXPECT_FALSE(tool_code_is_safe_folder(std::string("a\0b", 3)));
}

class FileTools : public TempDirTest {};

TEST_F(FileTools, WorkingDirectoryEndsWithSlash) {
    EXPECT_EQ(tool_get_dll_path(), dir() + "/");
}

TEST_F(FileTools, ListingIncludesDotEntriesUnfiltered) {
    write_file("f/a.jpg", "x");
    std::vector<std::string> entries{"kept"};
    tools_get_files("f", entries);
    std::sort(entries.begin() + 1, entries.end());
    EXPECT_EQ(entries, (std::vector<std::string>{"kept", "f/.", "f/..", "f/a.jpg"}));
    std::vector<std::string> none;
    tools_get_files("missing", none);
    EXPECT_TRUE(none.empty());
}

TEST_F(FileTools, ExistsAndAtomicWrite) {
    EXPECT_EQ(tool_exists_file("nope"), 0);
    ASSERT_TRUE(tool_write_file_atomic("out.json", "{\"a\":1}"));
    EXPECT_EQ(tool_exists_file("out.json"), 1);
    EXPECT_EQ(read_file("out.json"), "{\"a\":1}");
    for (const auto& name : list_dir(".")) EXPECT_EQ(name.find(".tmp."), std::string::npos) << name;
    EXPECT_FALSE(tool_write_file_atomic("no/such/dir/x", "y"));
}

// The reader must give the floats strtod gave, bit for bit: written texts of
// values of every size, and the odd forms a hand-made or damaged file may hold.
TEST(FeatureText, ReadGivesTheFloatsStrtodGave) {
    const std::vector<std::string> odd = {
        "0.5,,-0.25,", "-0.000000,0.000000,", "+1.5,", " 1.5,\t2,", "1e5,1.5e-3,-2E+2,", "0x1p3,", "inf,-inf,nan,",
        "infinity,-nan,", "1.5abc,abc,", ".5,-.5,5.,-5.,", "-,.,-.,", "1e999,-1e999,", "1e-400,1e-310,1e-45,",
        "340282356779733661637539395458142568448,3.4028235e38,", "0.1234567890123456789012345,",
        std::string(80, '9') + ".5," + std::string(70, '0') + "1,", "\n0.5,0.5\n,", "1,2,3", "0.000001,-0.0000005,",
        // Just above the midpoint of 1 and the next float: a double first, then
        // a float, gives 1; one rounding straight to float would give the next.
        "1.0000000596046447753906250001,"};
    for (const std::string& text : odd) {
        std::vector<float> read(8, 0.0f);
        tool_feature_read(text.c_str(), read.data(), 8);
        EXPECT_TRUE(same_bits(read, strtod_feature_values(text, 8))) << text;
    }

    // Written values from 1e-7 to 1e9 and their negatives, and the six-decimal
    // halfway points between neighbouring floats near 1.
    std::mt19937 random(3);
    std::uniform_real_distribution<float> exponent(-7.0f, 9.0f);
    std::vector<float> values;
    for (int i = 0; i < 20000; ++i) {
        const float magnitude = std::pow(10.0f, exponent(random));
        values.push_back((i % 2) ? -magnitude : magnitude);
    }
    for (float v = 0.999f; v < 1.001f; v = std::nextafter(v, 2.0f)) values.push_back(v);
    const std::string text = tool_feature_text(values.data(), static_cast<int>(values.size()));
    std::vector<float> read(values.size(), 0.0f);
    EXPECT_EQ(tool_feature_read(text.c_str(), read.data(), static_cast<int>(read.size())),
              static_cast<int>(values.size()));
    EXPECT_TRUE(same_bits(read, strtod_feature_values(text, static_cast<int>(values.size()))));

    const std::string unchanged = text.substr(0, 40);
    std::string copy = unchanged;
    tool_feature_read(copy.c_str(), read.data(), 4);
    EXPECT_EQ(copy, unchanged);
}
