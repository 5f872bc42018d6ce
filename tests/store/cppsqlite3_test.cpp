#include "store/CppSQLite3.h"
#include "testkit/files.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

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
}

TEST_F(SqliteLayer, QueryWithoutRowsIsAtEofAtOnce) {
    CppSQLite3Query query = db.execQuery("select code from goods;");
    EXPECT_TRUE(query.eof());
}

TEST_F(SqliteLayer, NullColumnsGiveTheCallersDefault) {
    db.execDML("insert into goods(id, code, price) values (1, '42abc', NULL);");
    CppSQLite3Query query = db.execQuery("select code, price, note from goods;");
    EXPECT_EQ(query.getIntField(1, -7), -7);
    EXPECT_DOUBLE_EQ(query.getFloatField("price", 2.5), 2.5);
    EXPECT_STREQ(query.getStringField(2, "none"), "none");
    EXPECT_TRUE(query.fieldIsNull("note"));
    EXPECT_EQ(query.getIntField(0, -7), 42);  // SQLite's own text-to-integer conversion
}

TEST_F(SqliteLayer, ScalarWithoutRowThrowsItsMessage) {
    try {
        db.execScalar("select id from goods;");
        FAIL() << "no exception";
    } catch (const CppSQLite3Exception& e) {
        EXPECT_EQ(e.errorCode(), CPPSQLITE_ERROR);
        EXPECT_STREQ(e.errorMessage(), "CPPSQLITE_ERROR[1000]: Invalid scalar query");
    }
}

TEST_F(SqliteLayer, BadSqlThrowsWithSqlitesCodeAndName) {
    try {
        db.execDML("insert into nowhere values (1);");
        FAIL() << "no exception";
    } catch (const CppSQLite3Exception& e) {
        EXPECT_EQ(e.errorCode(), SQLITE_ERROR);
        EXPECT_STREQ(e.errorMessage(), "SQLITE_ERROR[1]: no such table: nowhere");
    }
}

TEST_F(SqliteLayer, FieldAccessOutsideTheColumnsThrows) {
    db.execDML("insert into goods(id) values (1);");
    CppSQLite3Query query = db.execQuery("select id from goods;");
    EXPECT_THROW(query.fieldValue(1), CppSQLite3Exception);
    EXPECT_THROW(query.fieldValue("missing"), CppSQLite3Exception);
}

TEST_F(SqliteLayer, CopyingAQueryHandsItsStatementOver) {
    db.execDML("insert into goods(id, code) values (1, 'a');");
    CppSQLite3Query first = db.execQuery("select code from goods;");
    CppSQLite3Query second = first;
    EXPECT_STREQ(second.getStringField(0), "a");
    try {
        first.eof();
        FAIL() << "no exception";
    } catch (const CppSQLite3Exception& e) {
        EXPECT_STREQ(e.errorMessage(), "CPPSQLITE_ERROR[1000]: Null Virtual Machine pointer");
    }
}

TEST_F(SqliteLayer, TableReadsRowsByIndexAndName) {
    db.execDML("insert into goods(id, code, price) values (1, 'a', 1.5), (2, 'b', NULL);");
    CppSQLite3Table table = db.getTable("select code, price from goods order by id;");
    ASSERT_EQ(table.numRows(), 2);
    table.setRow(1);
    EXPECT_STREQ(table.fieldValue("code"), "b");
    EXPECT_DOUBLE_EQ(table.getFloatField(1, -1.0), -1.0);
    EXPECT_THROW(table.setRow(2), CppSQLite3Exception);
}

TEST_F(SqliteLayer, EmptyTableHasNoRowToRead) {
    CppSQLite3Table table = db.getTable("select code from goods;");
    EXPECT_EQ(table.numRows(), 0);
    EXPECT_THROW(table.fieldValue(0), CppSQLite3Exception);
}

TEST_F(SqliteLayer, StatementBindsAndRunsRepeatedly) {
    CppSQLite3Statement insert = db.compileStatement("insert into goods(code, price) values (:code, ?2);");
    for (int i = 0; i < 3; ++i) {
        insert.bind(":code", ("c" + std::to_string(i)).c_str());
        insert.bind(2, i * 0.5);
        EXPECT_EQ(insert.execDML(), 1);
    }
    EXPECT_EQ(db.execScalar("select count(*) from goods;"), 3);
}

TEST_F(SqliteLayer, UnknownParameterNameIsReported) {
    CppSQLite3Statement insert = db.compileStatement("insert into goods(code) values (:code);");
    try {
        insert.bind(std::string(500, 'p').c_str(), "x");
        FAIL() << "no exception";
    } catch (const CppSQLite3Exception& e) {
        EXPECT_EQ(e.errorCode(), CPPSQLITE_ERROR);
        EXPECT_NE(std::string(e.errorMessage()).find("is not valid for this statement"), std::string::npos);
    }
}

TEST_F(SqliteLayer, TableExistsSeesOnlyTables) {
    EXPECT_TRUE(db.tableExists("goods"));
    EXPECT_FALSE(db.tableExists("nothing"));
    EXPECT_FALSE(db.tableExists("x' or '1'='1"));
}

TEST_F(SqliteLayer, ReadOnlyOpenOfAMissingFileCreatesNothing) {
    CppSQLite3DB other;
    try {
        other.open("missing.db", SQLITE_OPEN_READONLY);
        FAIL() << "no exception";
    } catch (const CppSQLite3Exception& e) {
        EXPECT_EQ(e.errorCode(), SQLITE_CANTOPEN);
        EXPECT_EQ(std::string(e.errorMessage()).rfind("SQLITE_CANTOPEN[14]: ", 0), 0u) << e.errorMessage();
    }
    EXPECT_FALSE(file_exists("missing.db"));
}

class BinaryText : public ::testing::Test {
protected:
    static std::vector<unsigned char> encode(const std::vector<unsigned char>& in, int* length = nullptr) {
        std::vector<unsigned char> out(3 + (257 * in.size()) / 254);
        int n = sqlite3_encode_binary(in.data(), static_cast<int>(in.size()), out.data());
        if (length) *length = n;
        out.resize(static_cast<size_t>(n) + 1);
        return out;
    }
};

TEST_F(BinaryText, EmptyInputIsTheLetterX) {
    int n = 0;
    auto out = encode({}, &n);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(out, (std::vector<unsigned char>{'x', 0}));
}

TEST_F(BinaryText, SingleZeroByteUsesOffsetOne) {
    int n = 0;
    auto out = encode({0}, &n);
    EXPECT_EQ(n, 2);
    EXPECT_EQ(out, (std::vector<unsigned char>{1, 255, 0}));
}

TEST_F(BinaryText, AbcShiftsByTheOffset) {
    int n = 0;
    auto out = encode({'a', 'b', 'c'}, &n);
    EXPECT_EQ(n, 4);
    EXPECT_EQ(out, (std::vector<unsigned char>{1, 96, 97, 98, 0}));
}

TEST_F(BinaryText, EncodingHoldsNoZeroNorApostrophe) {
    std::vector<unsigned char> in;
    for (int i = 0; i < 256; ++i) in.push_back(static_cast<unsigned char>(i));
    for (int i = 0; i < 300; ++i) in.insert(in.end(), {0, 1, 39});
    int n = 0;
    auto out = encode(in, &n);
    for (int i = 0; i < n; ++i) {
        EXPECT_NE(out[static_cast<size_t>(i)], 0) << i;
        EXPECT_NE(out[static_cast<size_t>(i)], '\'') << i;
    }
}

TEST_F(BinaryText, RandomByteStringsSurviveTheRoundTrip) {
    std::mt19937 generator(20261207);
    std::uniform_int_distribution<int> byte(0, 255), length(0, 600), skew(0, 3);
    for (int round = 0; round < 3000; ++round) {
        std::vector<unsigned char> in(static_cast<size_t>(length(generator)));
        // Some strings lean on the escaped values so every escape gets exercised.
        const bool leaning = skew(generator) == 0;
        for (auto& b : in) b = static_cast<unsigned char>(leaning ? (byte(generator) % 3 == 0 ? 39 : byte(generator) % 2) : byte(generator));
        auto text = encode(in);
        std::vector<unsigned char> back(text.size());
        int n = sqlite3_decode_binary(text.data(), back.data());
        ASSERT_EQ(n, static_cast<int>(in.size())) << "round " << round;
        back.resize(static_cast<size_t>(n));
        ASSERT_EQ(back, in) << "round " << round;
    }
}

TEST_F(BinaryText, DecodingRunsInPlace) {
    std::vector<unsigned char> in = {0, 1, 39, 200, 0};
    auto text = encode(in);
    int n = sqlite3_decode_binary(text.data(), text.data());
    ASSERT_EQ(n, 5);
    EXPECT_EQ(std::vector<unsigned char>(text.begin(), text.begin() + n), in);
}

TEST_F(BinaryText, BadEscapeIsRefused) {
    const unsigned char text[] = {5, 1, 7, 0};
    unsigned char out[8];
    EXPECT_EQ(sqlite3_decode_binary(text, out), -1);
    CppSQLite3Binary binary;
    binary.setEncoded(text);
    try {
        binary.getBinary();
        FAIL() << "no exception";
    } catch (const CppSQLite3Exception& e) {
        EXPECT_STREQ(e.errorMessage(), "CPPSQLITE_ERROR[1000]: Cannot decode binary");
    }
}

TEST_F(BinaryText, BinaryObjectEncodesAndDecodes) {
    const unsigned char data[] = {0, 39, 1, 255, 7};
    CppSQLite3Binary binary;
    binary.setBinary(data, 5);
    std::string encoded = reinterpret_cast<const char*>(binary.getEncoded());
    CppSQLite3Binary back;
    back.setEncoded(reinterpret_cast<const unsigned char*>(encoded.c_str()));
    ASSERT_EQ(back.getBinaryLength(), 5);
    EXPECT_EQ(std::vector<unsigned char>(back.getBinary(), back.getBinary() + 5), std::vector<unsigned char>(data, data + 5));
}
