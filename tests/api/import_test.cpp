// Hostile import files: each is refused with the store kept as it was, or
// taken and still served after one more sample and a restart.
#include "flows_fixture.h"

#include "qx_ai.h"

#include "api/context.h"
#include "testkit/files.h"

#include <gtest/gtest.h>

#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>

#include <functional>
#include <string>

namespace {

// A feature the model could have made (160 values of unit length) and far
// from any photo's: its signs alternate.
std::string far_feature() {
    std::string text;
    for (int i = 0; i < 160; ++i) text += i % 2 ? "-0.079057," : "0.079057,";
    return text;
}

// Rows `first`..`last` of feature_code, all live and far from any photo, in one statement.
std::string rows_with_ids(long long first, long long last) {
    return "WITH RECURSIVE n(i) AS (SELECT " + std::to_string(first) + " UNION ALL SELECT i + 1 FROM n WHERE i < " +
           std::to_string(last) +
           ") INSERT INTO feature_code(id, code, feature, update_time, deleted) "
           "SELECT i, 'filler', '" + far_feature() + "', CURRENT_TIMESTAMP, 0 FROM n;";
}

// One more live row for 4001 whose feature (or deleted mark) is `value`, an SQL expression.
std::string row_with(const std::string& column, const std::string& value) {
    return "insert into feature_code(code, feature, update_time, deleted) select '4001', " +
           (column == "feature" ? value : "feature") + ", CURRENT_TIMESTAMP, " + (column == "deleted" ? value : "0") +
           " from feature_code where code = '4001' limit 1;";
}

// Holds a connection on a file in WAL mode with one transaction committed to
// its -wal only, as a program still using the file leaves it.
struct WalWriter {
    sqlite3* db = nullptr;
    ~WalWriter() { sqlite3_close(db); }
    bool open(const std::string& file) {
        return sqlite3_open(file.c_str(), &db) == SQLITE_OK &&
               sqlite3_exec(db,
                            "pragma journal_mode = wal; pragma wal_autocheckpoint = 0; "
                            "insert into feature_code(code, feature, update_time, deleted) select '4999', feature, "
                            "CURRENT_TIMESTAMP, 0 from feature_code where code = '4004' limit 1;",
                            nullptr, nullptr, nullptr) == SQLITE_OK;
    }
};

}  // namespace

class Import : public FlowTest {
protected:
    void SetUp() override {
        FlowTest::SetUp();
        stock_pic_data({distinct_kinds()[0], distinct_kinds()[1], distinct_kinds()[3]}, 3);
        ASSERT_EQ(LearnFromPicData(), 0);
    }
    std::string kiwi() { return grocery("val", distinct_kinds()[3], 0); }
};

TEST_F(Import, HostileFilesAreRefusedOrStayServable) {
    char exported[QX_PATH_SIZE];
    ASSERT_EQ(ExportData(exported), 0);
    const std::string good = read_file(exported);
    WalWriter wal;
    struct Case {
        const char* name;
        std::function<bool(const std::string& file)> make;  // turns a copy of the export hostile
        bool taken;
        const char* check;  // taken: a query on the live store that must give 1
    } const cases[] = {
        {"55000 live rows with ids 40001-95000",
         [this](const std::string& f) { return exec_sql(f, "delete from feature_code;" + rows_with_ids(40001, 95000)); },
         false, nullptr},
        {"id sequence at 2147483645",
         [this](const std::string& f) {
             return exec_sql(f, "update sqlite_sequence set seq = 2147483645 where name = 'feature_code';");
         },
         false, nullptr},
        // Every later record, free slot or cursor row would be refused as "database or disk is full".
        {"record ids at the end of their range",
         [this](const std::string& f) {
             return exec_sql(f, "delete from sqlite_sequence where name = 'product_record'; insert into "
                                "sqlite_sequence values ('product_record', 9223372036854775807);");
         },
         false, nullptr},
        {"free-slot ids at the end of their range, the cursor row a stale free slot",
         [this](const std::string& f) {
             return exec_sql(f, "delete from record_count; insert into record_count(id, count) values (2, 1); "
                                "delete from sqlite_sequence where name = 'record_count'; insert into "
                                "sqlite_sequence values ('record_count', 9223372036854775807);");
         },
         false, nullptr},
        {"text id",
         [this](const std::string& f) {
             return exec_sql(f, "create table f2(id text primary key, code text not null, feature text not null, "
                                     "update_time timestamp default null, deleted integer default 0); "
                                     "insert into f2 select * from feature_code; drop table feature_code; "
                                     "alter table f2 rename to feature_code;");
         },
         false, nullptr},
        {"check constraint on product_record",
         [this](const std::string& f) {
             return exec_sql(
                 f, "drop table product_record; create table product_record (id integer PRIMARY KEY AUTOINCREMENT, "
                    "session_id TEXT NOT NULL, model_code INTEGER NOT NULL, score REAL NOT NULL,feature_value TEXT NOT "
                    "NULL,image_path TEXT NOT NULL,product_ids TEXT NOT NULL,real_codes TEXT NOT NULL,time TEXT NOT "
                    "NULL CHECK (length(time) < 3)); create index session_id_index on product_record(session_id);");
         },
         false, nullptr},
        {"unique index on code",
         [this](const std::string& f) {
             return exec_sql(f, "delete from feature_code where id not in (select min(id) from feature_code "
                                     "group by code); create unique index code_once on feature_code(code);");
         },
         false, nullptr},
        {"live row with a NaN feature",
         [this](const std::string& f) {
             return exec_sql(f, "insert into feature_code(code, feature, update_time, deleted) "
                                     "values ('nan', 'nan,nan,', CURRENT_TIMESTAMP, 0);");
         },
         false, nullptr},
        {"full store whose free-slot rows name live rows",
         [this](const std::string& f) {
             return exec_sql(f, rows_with_ids(10, 30000) +
                                         "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < "
                                         "30000) INSERT INTO record_count(count) SELECT i FROM n;");
         },
         true, "select count(*) = 0 from record_count where id > 1"},
        {"older release's product_model table",
         [this](const std::string& f) {
             return exec_sql(f, "create table product_model(product_code text, model blob); "
                                "insert into product_model values ('4004', x'00');");
         },
         true, "select count(*) = 1 from product_model"},
        {"transaction still in the -wal file", [&wal](const std::string& f) { return wal.open(f); }, true,
         "select count(*) = 1 from feature_code where code = '4999'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(ImportData(exported), 0);  // the learned store again
        ASSERT_EQ(Init(), 0);
        const std::string file = std::string("hostile-") + std::to_string(&c - cases) + ".db";
        write_file(file, good);
        ASSERT_TRUE(c.make(file));
        const std::string before = read_file("featurexYz.db");
        if (!c.taken) {
            EXPECT_EQ(ImportData(file.c_str()), QX_ERR_DATA_FILE);
            EXPECT_EQ(read_file("featurexYz.db"), before);
            EXPECT_EQ(index_size(), 9);
            EXPECT_EQ(recognise(kiwi()).at(0), "4004");
            continue;
        }
        ASSERT_EQ(ImportData(file.c_str()), 0);
        EXPECT_EQ(scalar(c.check), 1) << c.check;
        EXPECT_EQ(text("pragma journal_mode"), "delete");
        EXPECT_FALSE(file_exists("featurexYz.db-wal"));
        std::string session;
        recognise(kiwi(), &session);
        EXPECT_EQ(SetFeedBack("4004", session.c_str(), 1, ""), 0);
        ASSERT_EQ(Init(), 0);
        EXPECT_EQ(index_size(), scalar("select count(*) from feature_code where deleted = 0"));
        EXPECT_EQ(recognise(kiwi()).at(0), "4004");
    }
}

// Rows the store cannot serve were once taken: features of one value, empty,
// a number, a raw blob, values of 1e30 (whose distances overflow), codes that
// break the code list, and rows neither live nor withdrawn. Each file is
// refused and the store kept; the same rows, withdrawn, do not matter.
TEST_F(Import, RowsTheStoreCannotServeAreRefused) {
    char exported[QX_PATH_SIZE];
    ASSERT_EQ(ExportData(exported), 0);
    const std::string good = read_file(exported);
    std::string huge, half;
    for (int i = 0; i < 160; ++i) huge += "1e30,", half += i == 0 ? "0.5," : "0,";
    const std::pair<const char*, std::string> cases[] = {
        {"one value", row_with("feature", "'0.5,'")},
        {"empty feature", row_with("feature", "''")},
        {"number", row_with("feature", "12345")},
        {"blob", row_with("feature", "cast(feature as blob)")},
        {"1e30 values", row_with("feature", "'" + huge + "'")},
        {"not of unit length", row_with("feature", "'" + half + "'")},
        {"161 values", row_with("feature", "feature || '0,'")},
        {"code with a comma", "update feature_code set code = '5,6,7' where id = 1;"},
        {"code of 99 bytes", "update feature_code set code = '" + std::string(99, '9') + "' where id = 1;"},
        {"code with a control character", "update feature_code set code = 'a' || char(9) || 'b' where id = 1;"},
        {"code holding a NUL byte", "update feature_code set code = cast(x'340030' as text) where id = 1;"},
        {"blob code", "update feature_code set code = x'3430' where id = 1;"},
        {"deleted 2", row_with("deleted", "2")},
        {"deleted NULL", row_with("deleted", "NULL")},
        {"deleted text", row_with("deleted", "'yes'")},
    };
    const std::string before = read_file("featurexYz.db");
    for (const auto& [name, sql] : cases) {
        SCOPED_TRACE(name);
        write_file("bad.db", good);
        ASSERT_TRUE(exec_sql("bad.db", sql));
        EXPECT_EQ(ImportData("bad.db"), QX_ERR_DATA_FILE);
        EXPECT_EQ(read_file("featurexYz.db"), before);
    }
    EXPECT_EQ(index_size(), 9);
    EXPECT_EQ(recognise(kiwi()).at(0), "4004");
    write_file("withdrawn.db", good);
    ASSERT_TRUE(exec_sql("withdrawn.db", row_with("feature", "'0.5,'") + "update feature_code set deleted = 1, code = "
                                         "'5,6' where id = (select max(id) from feature_code);"));
    EXPECT_EQ(ImportData("withdrawn.db"), QX_OK);
    EXPECT_EQ(index_size(), 9);
}

// The header and the size are looked at before a byte is copied: a 2 GB file
// that is no database, a side file past any store's size and a page count the
// file does not hold are refused at once, each with its reason in the log.
TEST_F(Import, HeaderAndSizeAreCheckedBeforeTheCopy) {
    char exported[QX_PATH_SIZE];
    ASSERT_EQ(ExportData(exported), 0);
    const std::string good = read_file(exported);
    const struct Case {
        const char* name;
        std::function<void()> make;  // makes "bad.db" (and its side files)
        const char* reason;          // in the log line of the refusal
    } cases[] = {
        {"2 GB sparse", [] { write_file("bad.db", "not a database"); ASSERT_EQ(truncate("bad.db", 2000000000LL), 0); },
         "larger than 256 MB"},
        {"no database", [] { write_file("bad.db", std::string(8192, 'x')); }, "no SQLite header"},
        {"300 MB -wal beside a sound copy",
         [&] {
             write_file("bad.db", good);
             write_file("bad.db-wal", "");
             ASSERT_EQ(truncate("bad.db-wal", 300 << 20), 0);
         },
         "larger than 256 MB"},
        {"one page more than the header counts", [&] { write_file("bad.db", good + std::string(4096, '\0')); },
         "pages of 4096 bytes"},
        {"page size 1000", [&] { write_file("bad.db", good.substr(0, 16) + "\x03\xe8" + good.substr(18)); },
         "no page size"},
        {"half a page", [&] { write_file("bad.db", good.substr(0, good.size() - 2048)); }, "no whole number of pages"},
    };
    const std::string before = read_file("featurexYz.db");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.make();
        EXPECT_EQ(ImportData("bad.db"), QX_ERR_DATA_FILE);
        EXPECT_EQ(read_file("featurexYz.db"), before);
        EXPECT_NE(read_file("tmp/" + today_day_file()).find(c.reason), std::string::npos);
        std::remove("bad.db");
        std::remove("bad.db-wal");
    }
    EXPECT_EQ(index_size(), 9);
}
