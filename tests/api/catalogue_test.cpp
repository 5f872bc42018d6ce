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
        params->catalog_db = catalogue();
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

TEST_F(Catalogue, DigitsSearchTheNumberAnywhere) {
    int rc = -1;
    EXPECT_EQ(find("1001", &rc), record("1001", "苹果", "5.80", "kg", "", "pg") +
                                     record("21001", "香蕉", "3.20", "kg", "http://img/21001.jpg", "xj") +
                                     record("10010", "o'x tail", "12.00", "pc", "", "oxt"));
    EXPECT_EQ(rc, QX_OK);
    EXPECT_NE(log_text().find("parameters:%1001%"), std::string::npos);
}

TEST_F(Catalogue, LettersSearchPinyinInEitherCase) {
    const std::string lower = find("pg");
    EXPECT_EQ(lower, record("1001", "苹果", "5.80", "kg", "", "pg") + record("2002", "红苹果", "7.50", "kg", "", "hpg"));
    EXPECT_EQ(find("PG"), lower);
}

TEST_F(Catalogue, ChineseTextSearchesTheName) {
    EXPECT_EQ(find("苹果"), record("1001", "苹果", "5.80", "kg", "", "pg") + record("2002", "红苹果", "7.50", "kg", "", "hpg"));
}

TEST_F(Catalogue, EmptyTextFindsEveryNamedProduct) {
    const std::string all = find("");
    EXPECT_EQ(all.find("3003"), std::string::npos);
    for (const char* plu : {"{pluNo:1001", "{pluNo:21001", "{pluNo:10010", "{pluNo:2002"})
        EXPECT_NE(all.find(plu), std::string::npos) << plu;
}

TEST_F(Catalogue, QuoteIsSearchedLiterally) {
    int rc = -1;
    EXPECT_EQ(find("o'x", &rc), "");  // a letter first: the pinyin column, which holds no quote
    EXPECT_EQ(rc, QX_OK);
    EXPECT_EQ(find("'x"), record("10010", "o'x tail", "12.00", "pc", "", "oxt"));
    EXPECT_EQ(find("'); drop table qx_goods; --", &rc), "");
    EXPECT_EQ(rc, QX_OK);
    EXPECT_EQ(find("21001"), record("21001", "香蕉", "3.20", "kg", "http://img/21001.jpg", "xj"));
}

TEST_F(Catalogue, NullPictureAddressIsEmpty) {
    EXPECT_NE(find("1001").find("imageUrl :keywordPinyin :pg}"), std::string::npos);
}

TEST_F(Catalogue, PercentAndUnderscoreAreWildcards) {
    EXPECT_EQ(find("1_01"), find("1001"));
    EXPECT_EQ(find("%"), find(""));
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
    find("1001");
    EXPECT_EQ(read_file(catalogue()), before);
    EXPECT_FALSE(file_exists(catalogue() + "-journal"));
}

TEST_F(Catalogue, MissingFileIsReportedAndNotCreated) {
    params->catalog_db = dir() + "/absent.db";
    int rc = 0;
    EXPECT_EQ(find("1001", &rc), "");
    EXPECT_EQ(rc, QX_ERR_CATALOGUE);
    EXPECT_FALSE(file_exists(dir() + "/absent.db"));
    EXPECT_NE(log_text().find("findcode failed: SQLITE_CANTOPEN[14]"), std::string::npos);
}

TEST_F(Catalogue, FileWithoutGoodsTableIsReported) {
    {
        CppSQLite3DB db;
        db.open((dir() + "/other.db").c_str());
        db.execDML("create table something (x);");
    }
    params->catalog_db = dir() + "/other.db";
    int rc = 0;
    EXPECT_EQ(find("pg", &rc), "");
    EXPECT_EQ(rc, QX_ERR_CATALOGUE);
}

TEST_F(Catalogue, NullOutputBufferIsRefused) { EXPECT_EQ(findcode("1001", "", nullptr), QX_ERR_ARGUMENT); }

class CatalogueSized : public Catalogue {};

TEST_F(CatalogueSized, WholeTextFitsWithItsLength) {
    const std::string whole = find("苹果");
    std::vector<char> out(whole.size() + 1, 'x');
    EXPECT_EQ(findcode_n("苹果", "", out.data(), static_cast<int>(out.size())), static_cast<int>(whole.size()));
    EXPECT_EQ(std::string(out.data()), whole);
}

TEST_F(CatalogueSized, SmallBufferIsCutAtACharacterBoundary) {
    const std::string whole = find("苹果");
    // "{pluNo:1001name :" is 17 bytes; 苹 takes the next three.
    for (int size : {18, 19, 20}) {
        std::vector<char> out(static_cast<size_t>(size) + 4, 'x');
        EXPECT_EQ(findcode_n("苹果", "", out.data(), size), static_cast<int>(whole.size())) << size;
        EXPECT_EQ(std::string(out.data()), whole.substr(0, 17)) << size;
        EXPECT_EQ(out[static_cast<size_t>(size)], 'x') << "wrote past out_size " << size;
    }
    std::vector<char> out(32, 'x');
    findcode_n("苹果", "", out.data(), 21);
    EXPECT_EQ(std::string(out.data()), whole.substr(0, 20));
}

TEST_F(CatalogueSized, ZeroSizeOnlyAsksForTheLength) {
    EXPECT_EQ(findcode_n("1001", "", nullptr, 0), static_cast<int>(find("1001").size()));
    char one = 'x';
    EXPECT_EQ(findcode_n("1001", "", &one, 1), static_cast<int>(find("1001").size()));
    EXPECT_EQ(one, '\0');
}

TEST_F(CatalogueSized, BadArgumentsAndBadCatalogueAreReported) {
    char out[8] = "x";
    EXPECT_EQ(findcode_n("1001", "", out, -1), QX_ERR_ARGUMENT);
    EXPECT_EQ(findcode_n("1001", "", nullptr, 8), QX_ERR_ARGUMENT);
    params->catalog_db = dir() + "/absent.db";
    EXPECT_EQ(findcode_n("1001", "", out, 8), QX_ERR_CATALOGUE);
    EXPECT_STREQ(out, "");
}
