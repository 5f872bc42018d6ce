#include "support/ini.h"
#include "testkit/files.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

using mINI::INIParser::PDataType;

namespace {

PDataType parse(const std::string& line, std::string* first = nullptr, std::string* second = nullptr) {
    mINI::INIParser::T_ParseValues values{"stale", "stale"};
    PDataType kind = mINI::INIParser::parseLine(line, values);
    if (first) *first = values.first;
    if (second) *second = values.second;
    return kind;
}

}  // namespace

TEST(IniLine, SectionsLoseCommentsAndUseTheLastBracket) {
    std::string name;
    EXPECT_EQ(parse("[ Default ] ; main", &name), PDataType::PDATA_SECTION);
    EXPECT_EQ(name, "Default");
    EXPECT_EQ(parse("[]", &name), PDataType::PDATA_SECTION);
    EXPECT_EQ(name, "");
    EXPECT_EQ(parse("[a]b]", &name), PDataType::PDATA_SECTION);
    EXPECT_EQ(name, "a]b");
    EXPECT_EQ(parse("[default"), PDataType::PDATA_UNKNOWN);
    std::string value;
    EXPECT_EQ(parse("[x=1", &name, &value), PDataType::PDATA_KEYVALUE);
    EXPECT_EQ(name, "[x");
    EXPECT_EQ(value, "1");
}

TEST(IniLine, CommentsAndBlankLines) {
    EXPECT_EQ(parse(" \t\r "), PDataType::PDATA_NONE);
    EXPECT_EQ(parse("; note = 1"), PDataType::PDATA_COMMENT);
    std::string key, value;
    EXPECT_EQ(parse("# not = a comment", &key, &value), PDataType::PDATA_KEYVALUE);
    EXPECT_EQ(key, "# not");
}

TEST(IniLine, EscapedEqualsInKeysOnly) {
    std::string key, value;
    EXPECT_EQ(parse("a\\=b = c", &key, &value), PDataType::PDATA_KEYVALUE);
    EXPECT_EQ(key, "a=b");
    EXPECT_EQ(value, "c");
    EXPECT_EQ(parse("k = v\\=w", &key, &value), PDataType::PDATA_KEYVALUE);
    EXPECT_EQ(value, "v\\=w");
    EXPECT_EQ(parse("a = b=c", &key, &value), PDataType::PDATA_KEYVALUE);
    EXPECT_EQ(value, "b=c");
    EXPECT_EQ(parse("filterScore = 0.8 ; note", &key, &value), PDataType::PDATA_KEYVALUE);
    EXPECT_EQ(value, "0.8 ; note");
}

class IniFile : public TempDirTest {
protected:
    mINI::INIStructure read(const std::string& content) {
        write_file("dev.ini", content);
        mINI::INIStructure ini;
        mINI::INIReader reader("dev.ini");
        EXPECT_TRUE(reader >> ini);
        return ini;
    }
};

TEST_F(IniFile, MissingFileLeavesStructureUntouched) {
    mINI::INIStructure ini;
    ini["keep"]["k"] = "v";
    mINI::INIReader reader("absent.ini");
    EXPECT_FALSE(reader >> ini);
    EXPECT_EQ(ini.size(), 1u);
    EXPECT_EQ(ini["keep"]["k"], "v");
}

TEST_F(IniFile, EmptyAndCommentOnlyFilesGiveNothing) {
    EXPECT_EQ(read("").size(), 0u);
    EXPECT_EQ(read("; a\n\n  ; b\n").size(), 0u);
}

TEST_F(IniFile, LookupsFoldCaseAndWhitespaceAndCreateEntries) {
    auto ini = read("[DEFAULT]\nDev = 1\n");
    EXPECT_EQ(ini["default"]["dev"], "1");
    EXPECT_EQ(ini["Default"][" DEV "], "1");
    size_t before = ini["default"].size();
    EXPECT_EQ(ini["default"]["absent"], "");
    EXPECT_EQ(ini["default"].size(), before + 1);
}

TEST_F(IniFile, CrLfNulAndKeysBeforeSections) {
    auto ini = read(std::string("orphan = 1\r\n[default]\r\nd\0ev = http://t\r\n=5\r\nlast = x", 52));
    EXPECT_EQ(ini["default"]["dev"], "http://t");
    EXPECT_EQ(ini["default"][""], "5");
    EXPECT_EQ(ini["default"]["last"], "x");
    EXPECT_EQ(ini["default"]["orphan"], "");
}

TEST_F(IniFile, ByteOrderMarkHidesTheFirstSection) {
    auto ini = read("\xEF\xBB\xBF[default]\ndev = 1\n[other]\nk = 2\n");
    EXPECT_EQ(ini["default"]["dev"], "");
    EXPECT_EQ(ini["other"]["k"], "2");
}

TEST_F(IniFile, RepeatedSectionsMergeLaterWins) {
    auto ini = read("[default]\na = 1\nb = 2\n[x]\n[Default]\nA = 3\n");
    EXPECT_EQ(ini["default"]["a"], "3");
    EXPECT_EQ(ini["default"]["b"], "2");
    EXPECT_EQ(ini["default"].begin()->first, "a");  // first position kept
    EXPECT_EQ(ini["x"].size(), 0u);
}
