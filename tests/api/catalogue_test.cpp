// Product catalogue lookup against a catalogue file built by each test.
#include "qx_ai.h"

#include "api/context.h"
#include "store/CppSQLite3.h"
#include "support/log.h"
#include "testkit/files.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

class Catalogue : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        CppSQLite3DB db;
        db.open(catalogue().c_str());
        db.execDML(
            "create table qx_goods (id integer primary key, pluNo text, name text, unitPrice text, "
            "priceUnitDes text, imageUrl text, keywordPinyin text);");
        db.execDML(
            "insert into qx_goods(pluNo, name, unitPrice, priceUnitDes, imageUrl, keywordPinyin) values "
            "('1001', '苹果', '5.80', 'kg', NULL, 'pg'),"
            "('21001', '香蕉', '3.20', 'kg', 'http://img/21001.jpg', 'xj'),"
            "('10010', 'o''x tail', '12.00', 'pc', '', 'oxt'),"
            "('2002', '红苹果', '7.50', 'kg', '', 'hpg'),"
            "('3003', NULL, '1.00', 'pc', '', 'wm');");
        db.close();
        write_file("dev.ini", "[default]\ncatalogDb = " + catalogue() + "\n");
        ASSERT_EQ(Init(), 0);
    }
    void TearDown() override {
        Close();
        TempDirTest::TearDown();
    }

    std::string catalogue() const { return dir() + "/catalogue.db"; }

    std::string find(const char* text, int* rc = nullptr) {
        std::vector<char> out(4096, 'x');
        int result = findcode(text, "", out.data());
        if (rc) *rc = result;
        return out.data();
    }

    std::string log_text() {
        logger->flush();
        std::string all;
        for (const auto& name : list_dir("tmp")) all += read_file("tmp/" + name);
        return all;
    }

    static std::string record(const std::string& plu, const std::string& name, const std::string& price,
                              const std::string& unit, const std::string& image, const std::string& pinyin) {
        return "{pluNo:" + plu + "name :" + name + "unitPrice :" + price + "priceUnitDes :" + unit + "imageUrl :" +
               image + "keywordPinyin :" + pinyin + "}";
    }
};

// The first character picks the column: digits the number, letters the pinyin
// (either case), anything else the name; the text is a LIKE pattern, quoted.
TEST_F(Catalogue, TextSearchesTheColumnItsFirstCharacterPicks) {
    const std::string apple = record("1001", "苹果", "5.80", "kg", "", "pg");
    const std::string banana = record("21001", "香蕉", "3.20", "kg", "http://img/21001.jpg", "xj");
    const std::string oxtail = record("10010", "o'x tail", "12.00", "pc", "", "oxt");
    const std::string red_apple = record("2002", "红苹果", "7.50", "kg", "", "hpg");
    const std::pair<const char*, std::string> cases[] = {
        {"1001", apple + banana + oxtail}, {"1_01", apple + banana + oxtail}, {"pg", apple + red_apple},
        {"PG", apple + red_apple},         {"苹果", apple + red_apple},       {"'x", oxtail},
        {"o'x", ""},                       {"'); drop table qx_goods; --", ""},
        {"", apple + banana + oxtail + red_apple}, {"%", apple + banana + oxtail + red_apple},
    };
    for (const auto& [text, expected] : cases) {
        int rc = -1;
        EXPECT_EQ(find(text, &rc), expected) << text;
        EXPECT_EQ(rc, QX_OK) << text;
    }
    EXPECT_NE(log_text().find("parameters:%1001%"), std::string::npos);
}

TEST_F(Catalogue, EachRowGoesToTheLogAndStandardOutput) {
    testing::internal::CaptureStdout();
    find("21001");
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "pluNo:21001\nname : 香蕉\nunitPrice : 3.20\npriceUnitDes : kg\nimageUrl : http://img/21001.jpg\n"
              "keywordPinyin : xj\n");
    const std::string log = log_text();
    for (const char* line : {"path.c_str():", "pluNo:21001", "name :香蕉", "unitPrice :3.20", "priceUnitDes :kg \n",
                             "imageUrl :http://img/21001.jpg", "keywordPinyin :xj"})
        EXPECT_NE(log.find(line), std::string::npos) << line;
}

TEST_F(Catalogue, CatalogueFileIsNeverChanged) {
    const std::string before = read_file(catalogue());
    find("");
    EXPECT_EQ(read_file(catalogue()), before);
    EXPECT_FALSE(file_exists(catalogue() + "-journal"));
}

TEST_F(Catalogue, MissingOrForeignFileIsReportedAndNotCreated) {
    {
        CppSQLite3DB db;
        db.open((dir() + "/other.db").c_str());
        db.execDML("create table something (x);");
    }
    for (const char* file : {"/absent.db", "/other.db"}) {
        params->catalog_db = dir() + file;
        int rc = 0;
        EXPECT_EQ(find("1001", &rc), "") << file;
        EXPECT_EQ(rc, QX_ERR_CATALOGUE) << file;
    }
    EXPECT_FALSE(file_exists(dir() + "/absent.db"));
    EXPECT_NE(log_text().find("findcode failed: SQLITE_CANTOPEN[14]"), std::string::npos);
}

// findcode_n always answers the whole text's length, whatever part of it fits.
TEST_F(Catalogue, SizedLookupAnswersTheWholeLength) {
    const std::string whole = find("苹果");
    std::vector<char> out(whole.size() + 1, 'x');
    EXPECT_EQ(findcode_n("苹果", "", out.data(), static_cast<int>(out.size())), static_cast<int>(whole.size()));
    EXPECT_EQ(std::string(out.data()), whole);
    EXPECT_EQ(findcode_n("苹果", "", nullptr, 0), static_cast<int>(whole.size()));
    char one = 'x';
    EXPECT_EQ(findcode_n("苹果", "", &one, 1), static_cast<int>(whole.size()));
    EXPECT_EQ(one, '\0');
}

TEST_F(Catalogue, SmallBufferIsCutAtACharacterBoundary) {
    const std::string whole = find("苹果");
    // "{pluNo:1001name :" is 17 bytes; 苹 takes the next three.
    for (int size : {18, 19, 20, 21}) {
        std::vector<char> out(static_cast<size_t>(size) + 4, 'x');
        findcode_n("苹果", "", out.data(), size);
        EXPECT_EQ(std::string(out.data()), whole.substr(0, size == 21 ? 20 : 17)) << size;
        EXPECT_EQ(out[static_cast<size_t>(size)], 'x') << "wrote past out_size " << size;
    }
}

TEST_F(Catalogue, BadArgumentsAndBadCatalogueAreReported) {
    char out[8] = "x";
    EXPECT_EQ(findcode("1001", "", nullptr), QX_ERR_ARGUMENT);
    EXPECT_EQ(findcode_n("1001", "", out, -1), QX_ERR_ARGUMENT);
    EXPECT_EQ(findcode_n("1001", "", nullptr, 8), QX_ERR_ARGUMENT);
    params->catalog_db = dir() + "/absent.db";
    EXPECT_EQ(findcode_n("1001", "", out, 8), QX_ERR_CATALOGUE);
    EXPECT_STREQ(out, "");
}
