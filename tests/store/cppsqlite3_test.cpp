#include "store/CppSQLite3.h"
#include "testkit/files.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

class SqliteLayer : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        db.open("layer.db");
        db.execDML("create table goods (id integer primary key, code text, price real, note text);");
    }

    CppSQLite3DB db;
};

TEST_F(SqliteLayer, QuotedTextKeepsItsApostrophe) {
    CppSQLite3Buffer sql;
    db.execDML(sql.format("insert into goods(code) values (%Q);", "12'34"));
    CppSQLite3Query query = db.execQuery(sql.format("select code from goods where code = %Q;", "12'34"));
    ASSERT_FALSE(query.eof());
    EXPECT_STREQ(query.getStringField("code"), "12'34");
    EXPECT_FALSE(db.tableExists("x' or '1'='1"));
}

TEST_F(SqliteLayer, NullColumnsGiveTheCallersDefault) {
    db.execDML("insert into goods(id, code, price) values (1, 'a', NULL);");
    CppSQLite3Query query = db.execQuery("select code, price, note from goods;");
    EXPECT_EQ(query.getIntField(1, -7), -7);
    EXPECT_DOUBLE_EQ(query.getFloatField("price", 2.5), 2.5);
    EXPECT_STREQ(query.getStringField(2, "none"), "none");
}

// The message of what `call` threw, led by its code's name and number.
static std::string thrown(const std::function<void()>& call) {
    try {
        call();
    } catch (const CppSQLite3Exception& e) {
        return e.errorMessage();
    }
    return "<no exception>";
}

TEST_F(SqliteLayer, FailuresCarryTheirCodeAndWholeMessage) {
    EXPECT_EQ(thrown([&] { db.execDML("insert into nowhere values (1);"); }), "SQLITE_ERROR[1]: no such table: nowhere");
    EXPECT_EQ(thrown([&] { db.execScalar("select id from goods;"); }), "CPPSQLITE_ERROR[1000]: Invalid scalar query");
    const std::string name(500, 'p');
    EXPECT_EQ(thrown([&] { db.compileStatement("insert into goods(code) values (:code);").bind(name.c_str(), "x"); }),
              "CPPSQLITE_ERROR[1000]: Parameter '" + name + "' is not valid for this statement");
    CppSQLite3DB other;
    EXPECT_EQ(thrown([&] { other.open("missing.db", SQLITE_OPEN_READONLY); }).rfind("SQLITE_CANTOPEN[14]: ", 0), 0u);
    EXPECT_FALSE(file_exists("missing.db"));
}

TEST_F(SqliteLayer, ReadsOutsideTheResultThrow) {
    db.execDML("insert into goods(id, code) values (1, 'a');");
    CppSQLite3Query query = db.execQuery("select id from goods;");
    EXPECT_THROW(query.fieldValue(1), CppSQLite3Exception);
    EXPECT_THROW(query.fieldValue("missing"), CppSQLite3Exception);
    CppSQLite3Table table = db.getTable("select code from goods;");
    EXPECT_THROW(table.setRow(1), CppSQLite3Exception);
    CppSQLite3Table empty = db.getTable("select code from goods where id = 2;");
    EXPECT_THROW(empty.fieldValue(0), CppSQLite3Exception);
}

TEST_F(SqliteLayer, CopyingAQueryHandsItsStatementOver) {
    db.execDML("insert into goods(id, code) values (1, 'a');");
    CppSQLite3Query first = db.execQuery("select code from goods;");
    CppSQLite3Query second = first;
    EXPECT_STREQ(second.getStringField(0), "a");
    EXPECT_THROW(first.eof(), CppSQLite3Exception);
}

// The binary-to-text encoding: text without zero bytes or quotes.
TEST(BinaryText, RandomByteStringsSurviveTheRoundTripInPlace) {
    std::mt19937 generator(20261207);
    std::uniform_int_distribution<int> byte(0, 255), length(0, 600), skew(0, 3);
    for (int round = 0; round < 3000; ++round) {
        std::vector<unsigned char> in(static_cast<size_t>(length(generator)));
        // Some strings lean on the escaped values so every escape gets exercised.
        const bool leaning = skew(generator) == 0;
        for (auto& b : in) b = static_cast<unsigned char>(leaning ? (byte(generator) % 3 == 0 ? 39 : byte(generator) % 2) : byte(generator));
        std::vector<unsigned char> text(3 + (257 * in.size()) / 254);
        const int encoded = sqlite3_encode_binary(in.data(), static_cast<int>(in.size()), text.data());
        for (int i = 0; i < encoded; ++i) ASSERT_TRUE(text[i] != 0 && text[i] != '\'') << "round " << round;
        const int n = sqlite3_decode_binary(text.data(), text.data());
        ASSERT_EQ(std::vector<unsigned char>(text.begin(), text.begin() + std::max(n, 0)), in) << "round " << round;
    }
}

TEST(BinaryText, BadEscapeIsRefused) {
    const unsigned char text[] = {5, 1, 7, 0};
    unsigned char out[8];
    EXPECT_EQ(sqlite3_decode_binary(text, out), -1);
    CppSQLite3Binary binary;
    binary.setEncoded(text);
    EXPECT_THROW(binary.getBinary(), CppSQLite3Exception);
}
