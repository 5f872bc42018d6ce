// The import check on whole store files held in memory: libFuzzer's byte
// patches on real exports, and edits of their tables made through SQLite (a
// store that is still a sound database but breaks one of the library's
// rules). Whatever the bytes, the header check the import makes before its
// copy and then the check of the database answer with a reason or admit the
// store, never crash; an admitted store loads every live sample into an index
// that answers with its own live samples, and passes the check again.
#include "fuzz_kit.h"

#include "store/CppSQLite3.h"
#include "store/database.h"
#include "store/libhnsw.h"
#include "store/store_file.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

struct DatabaseClose {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using Database = std::unique_ptr<sqlite3, DatabaseClose>;

// The edits: each keeps the file a database and bends one thing the library
// relies on. "%1" takes a row offset, "%2" a value from the list beside it.
struct Edit {
    const char* sql;
    std::vector<const char*> values;
};

const std::vector<Edit>& edits() {
    static const std::vector<Edit> list = {
        {"update feature_code set feature = %2 where id = (select id from feature_code limit 1 offset %1);",
         {"''", "'0.5,'", "12345", "x'00ff10'", "'nan,'", "printf('%.*c', 160, 'x')",
          "(select group_concat('1e30', ',') from (select 1 from feature_code, feature_code, feature_code limit 160))",
          "feature || feature", "substr(feature, 1, 40)", "replace(feature, '0.', '-9e37')"}},
        {"update feature_code set deleted = %2 where id = (select id from feature_code limit 1 offset %1);",
         {"0", "1", "2", "-1", "null", "'x'", "1.5", "x'01'"}},
        {"update feature_code set id = %2 where id = (select id from feature_code limit 1 offset %1);",
         {"0", "-1", "30000", "30001", "55000", "2147483647", "2147483648", "9223372036854775807"}},
        {"update feature_code set code = %2 where id = (select id from feature_code limit 1 offset %1);",
         {"''", "'0'", "'5,6,7'", "printf('%.*c', 99, '7')", "'../x'", "'a' || char(10) || 'b'", "12", "x'00'"}},
        {"insert into feature_code(code, feature, deleted) select code, feature, deleted from feature_code "
         "limit %1 + 1;", {""}},
        {"insert into record_count(count) values (%2);", {"1", "0", "-5", "30000", "2147483648", "'x'", "null"}},
        {"delete from record_count where id > %1;", {""}},
        {"update sqlite_sequence set seq = %2;", {"0", "30000", "2147483647", "9223372036854775807", "-1"}},
        {"%2", {"drop table product_record;", "drop index session_id_index;", "drop table feed_back_record;",
                "create view v as select 1;", "create trigger t after insert on feature_code begin select 1; end;",
                "alter table feature_code add column extra text;", "create table product_model(product_code text);",
                "create table product_model(other text);", "create index i on feature_code(code);",
                "create table extra(a);", "pragma user_version = 7;", "pragma page_size = 512; vacuum;",
                "pragma auto_vacuum = 1; vacuum;", "delete from feature_code;", "delete from sqlite_sequence;",
                "alter table feature_code rename column code to kode;"}},
        {"pragma writable_schema = 1; update sqlite_master set sql = replace(sql, %2) where name = 'feature_code'; "
         "pragma writable_schema = 0;",
         {"'NOT NULL', ''", "'integer', 'text'", "'AUTOINCREMENT', ''", "'feature text', 'feature blob'",
          "'DEFAULT 0', 'DEFAULT 1'"}},
        {"update feature_code set update_time = %2 where id = (select id from feature_code limit 1 offset %1);",
         {"null", "'x'", "-1", "'9999-12-31 23:59:59'"}},
    };
    return list;
}

std::string edit_sql(unsigned seed) {
    const Edit& edit = edits()[seed % edits().size()];
    seed /= static_cast<unsigned>(edits().size());
    std::string sql = edit.sql;
    const std::string value = edit.values[seed % edit.values.size()];
    seed /= static_cast<unsigned>(edit.values.size());
    for (size_t at; (at = sql.find("%1")) != std::string::npos;) sql.replace(at, 2, std::to_string(seed % 4));
    for (size_t at; (at = sql.find("%2")) != std::string::npos;) sql.replace(at, 2, value);
    return sql;
}

// One edit made through SQLite on the bytes, written over them; their new
// size, or 0 when they are no database, the edit does not apply or the result
// passes max_size.
size_t edit_in_place(uint8_t* data, size_t size, size_t max_size, unsigned seed) {
    sqlite3* raw = nullptr;
    sqlite3_open(":memory:", &raw);
    Database db(raw);
    auto* copy = static_cast<unsigned char*>(sqlite3_malloc64(size ? size : 1));
    if (!db || !copy) return 0;
    std::copy(data, data + size, copy);
    if (sqlite3_deserialize(raw, "main", copy, static_cast<sqlite3_int64>(size), static_cast<sqlite3_int64>(size),
                            SQLITE_DESERIALIZE_FREEONCLOSE | SQLITE_DESERIALIZE_RESIZEABLE) != SQLITE_OK ||
        sqlite3_exec(raw, edit_sql(seed).c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
        return 0;
    // The database's own bytes, read where they are (valid until it closes).
    sqlite3_int64 length = 0;
    const unsigned char* image = sqlite3_serialize(raw, "main", &length, SQLITE_SERIALIZE_NOCOPY);
    if (!image || length <= 0 || static_cast<size_t>(length) > max_size) return 0;
    std::copy(image, image + length, data);
    return static_cast<size_t>(length);
}

std::set<int> live_ids(CppSQLite3DB& db) {
    std::set<int> ids;
    CppSQLite3Query query = db.execQuery("select id from feature_code where deleted = 0;");
    for (; !query.eof(); query.nextRow()) ids.insert(static_cast<int>(query.getInt64Field(0, 0)));
    return ids;
}

// What the library does next with an admitted store: loads it and serves it.
// One store in four is checked a second time first (a check costs
// milliseconds: the rate of the others stays up).
void serve_admitted(CppSQLite3DB& db, bool check_again) {
    if (check_again) FUZZ_CHECK(db_admit_store(db).empty(), "an admitted store is refused when checked again");
    const std::set<int> ids = live_ids(db);
    const int capacity = static_cast<int>(std::min<size_t>(ids.size() + 1, DB_INDEX_CAPACITY));
    long long left_out = 0;
    std::unique_ptr<libhnsw::Index> index = db_build_index(db, capacity, &left_out);
    // The import installs a store only when every live sample loads.
    FUZZ_CHECK(left_out == 0 && static_cast<size_t>(index->get_cur_element_count()) == ids.size(),
               "an admitted store has live samples the index cannot load");
    std::vector<float> query(static_cast<size_t>(index->dimension()), 0.0f);
    query[0] = 1.0f;
    for (const auto& hit : index->Search(query.data(), 6))
        FUZZ_CHECK(ids.count(hit.second + 1), "a search answers a label that is no live sample");
}

}  // namespace

// Every run frees all it allocated (SQLite's pages, whole store images): with
// AddressSanitizer's default quarantine of 256 MB the process held 500 MB and
// spent a third of its time recycling it. 16 MB still holds the memory of
// several runs, so a use after free within a run is caught as before.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16"; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_enter_temp_dir();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string refused = db_header_fault(data, std::min(size, kDbHeaderBytes), size, false);
    if (!refused.empty()) return 0;
    CppSQLite3DB db;
    try {
        db.openImage(data, size);
        refused = db_admit_store(db);
    } catch (const CppSQLite3Exception& e) {
        refused = e.errorMessage();  // refused, as the import refuses it
    }
    // QX_FUZZ_VERBOSE=1 says what became of each input (a replay's, say).
    if (std::getenv("QX_FUZZ_VERBOSE")) std::fprintf(stderr, "%s\n", refused.empty() ? "admitted" : refused.c_str());
    if (!refused.empty()) return 0;
    try {
        serve_admitted(db, size % 4 == 0);
    } catch (const CppSQLite3Exception& e) {
        FUZZ_CHECK(false, std::string("an admitted store cannot be served: ") + e.errorMessage());
    }
    return 0;
}

// Half of the mutations are libFuzzer's byte patches, half an edit of the
// store's tables through SQLite.
extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t max_size, unsigned int seed) {
    if (seed & 1) return LLVMFuzzerMutate(data, size, max_size);
    const size_t edited = edit_in_place(data, size, max_size, seed >> 1);
    return edited ? edited : LLVMFuzzerMutate(data, size, max_size);
}
