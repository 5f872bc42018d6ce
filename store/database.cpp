#include "store/database.h"

#include "store/kept_connection.h"

#include "store/CppSQLite3.h"
#include "store/feature_producer.h"
#include "store/libhnsw.h"
#include "store/record_writer.h"
#include "store/temp_files.h"
#include "support/alg.h"
#include "support/log.h"
#include "support/timing.h"
#include "support/tools.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

std::mutex g_mutex;

DB_STORE::DB_STORE() : records(db_record_writer()), match_db(std::make_unique<KeptConnection>()) {}
DB_STORE::~DB_STORE() = default;

namespace {

// How long a connection of the store waits for a file another one holds.
constexpr int kStoreBusyMs = 5000;

bool has_row(CppSQLite3DB& db, const char* sql) {
    CppSQLite3Query query = db.execQuery(sql);
    return !query.eof();
}

std::string text_or_empty(const char* text) { return text ? text : ""; }

// Parses a feature text into a zeroed buffer of the widest feature the store
// reads; a text holding more values than fit is cut, never written past the buffer.
void parse_feature(const char* text, std::vector<float>& values) {
    values.assign(DB_FEATURE_VALUES, 0.0f);
    tool_feature_read(text, values.data(), DB_FEATURE_VALUES);
}

bool is_zero(float value) { return value == 0.0f; }

// A NaN or infinite value would rank first in every search (its distance
// compares as nothing): such a vector never enters an index.
bool finite_feature(const std::vector<float>& values) {
    return alg_all_finite(values.data(), static_cast<int>(values.size()));
}

// A write transaction that rolls back unless committed: a failure between the
// slot choice and the row write leaves both as they were.
class WriteTransaction {
public:
    explicit WriteTransaction(CppSQLite3DB& db) : db_(db) { db_.execDML("begin immediate;"); }
    ~WriteTransaction() {
        if (!open_) return;
        try {
            db_.execDML("rollback;");
        } catch (...) {
            // The connection closes next, which rolls back all the same.
        }
    }
    WriteTransaction(const WriteTransaction&) = delete;
    WriteTransaction& operator=(const WriteTransaction&) = delete;
    void commit() {
        db_.execDML("commit;");
        open_ = false;
    }

private:
    CppSQLite3DB& db_;
    bool open_ = true;
};

// The slot a sample overwrites once the table is full: the newest withdrawn
// slot whose row is still withdrawn, else the cursor. A free-slot entry naming
// a live or missing row is stale and dropped; taking a slot drops every entry
// naming it, so no slot can be handed out twice.
int reuse_slot(CppSQLite3DB& db) {
    CppSQLite3Buffer sql;
    for (;;) {
        long long slot = 0;
        {
            CppSQLite3Query entry = db.execQuery("select count from record_count where id > 1 order by id desc limit 1;");
            if (entry.eof()) break;
            slot = entry.getInt64Field(0, 0);
        }
        db.execDML(sql.format("delete from record_count where id > 1 and count = %lld;", slot));
        if (has_row(db, sql.format("select 1 from feature_code where id = %lld and deleted = 1;", slot)))
            return static_cast<int>(slot);
    }
    long long cursor = 0;
    bool found = false;
    {
        CppSQLite3Query query = db.execQuery("select count from record_count where id = 1;");
        if (!query.eof()) {
            found = true;
            cursor = query.getInt64Field(0, 0);
        }
    }
    if (!found) {
        // The cursor row is gone: start it again rather than growing the table
        // past its capacity one new row at a time.
        db.execDML("insert into record_count(id, count) values (1, 2);");
        return 1;
    }
    // The cursor moves on after every reuse, so a full table is overwritten
    // round-robin instead of always in the same slot.
    int slot = (cursor < 1 || cursor > DB_SAMPLE_CAPACITY) ? 1 : static_cast<int>(cursor);
    db.execDML(sql.format("update record_count set count = %d where id = 1", slot + 1));
    return slot;
}

// Slot choice and row write of one sample, inside the caller's transaction.
// `rows` is the table's row count, kept up to date here.
void store_sample(CppSQLite3DB& db, long long& rows, DB_COMMODITY* sample) {
    CppSQLite3Buffer sql;
    sample->id = rows >= DB_SAMPLE_CAPACITY ? reuse_slot(db) : 0;
    int changed = 0;
    if (sample->id != 0) {
        changed = db.execDML(sql.format(
            "update feature_code set code = %Q,feature = %Q,update_time = CURRENT_TIMESTAMP,deleted = 0 where id = %d",
            sample->code.c_str(), sample->feature, sample->id));
    }
    // A cursor naming no row (ids with gaps) must not swallow the sample: it
    // gets a row in that very slot. A row at the end instead would leave the
    // gap open and grow the table on every round of the cursor, past what the
    // index can hold.
    if (sample->id != 0 && changed == 0) {
        db.execDML(sql.format(
            "insert into feature_code(id, code, feature,update_time,deleted) values (%d,%Q,%Q,CURRENT_TIMESTAMP,0);",
            sample->id, sample->code.c_str(), sample->feature));
        ++rows;
    } else if (sample->id == 0) {
        db.execDML(sql.format(
            "insert into feature_code(code, feature,update_time,deleted) values (%Q,%Q,CURRENT_TIMESTAMP,0);",
            sample->code.c_str(), sample->feature));
        sample->id = static_cast<int>(db.lastRowId());
        ++rows;
    }
}

long long count_rows(CppSQLite3DB& db) {
    CppSQLite3Query query = db.execQuery("select count(*) from feature_code;");
    return query.eof() ? 0 : query.getInt64Field(0, 0);
}

// Adds the live samples of an open file to `index`, skipping the `surplus`
// oldest (by last write, then id) that would not fit. A sample with a non-zero
// value beyond the index's width would be searched on a part of itself only:
// false is returned at the first one, and the caller loads a wider index. A
// row no label can name or whose feature is not finite is left out with a log
// line (a NaN would rank first in every search) and counted in `left_out`.
bool load_samples(CppSQLite3DB& db, libhnsw::Index& index, long long surplus, long long& left_out) {
    const int width = index.dimension();
    left_out = surplus;
    // One buffer for every row, zero beyond what the last row wrote: no
    // allocation and no copy of the text per sample.
    std::vector<float> values(DB_FEATURE_VALUES, 0.0f);
    CppSQLite3Buffer sql;
    CppSQLite3Query query = db.execQuery(
        surplus == 0 ? "select id,feature from feature_code where deleted = 0"
                     : sql.format("select id,feature from feature_code where deleted = 0 order by update_time, id "
                                  "limit -1 offset %lld",
                                  surplus));
    for (; !query.eof(); query.nextRow()) {
        const long long id = query.getInt64Field(0, 0);
        if (id < 1 || id > INT_MAX) {
            logger->info("sample id {} out of range, not loaded", id);
            ++left_out;
            continue;
        }
        const int read = tool_feature_read(query.getStringField(1, ""), values.data(), DB_FEATURE_VALUES);
        if (read > width && !std::all_of(values.begin() + width, values.begin() + read, is_zero)) return false;
        if (alg_all_finite(values.data(), read)) {
            index.Addsample(values.data(), static_cast<int>(id - 1));
        } else {
            logger->info("sample {} has a non-finite feature, not loaded", id);
            ++left_out;
        }
        std::fill_n(values.begin(), read, 0.0f);
    }
    return true;
}

// Puts a finished file in the place of the live store: its content reaches the
// disk first, no side file of the old store may meet it, and the rename itself
// is made durable.
void replace_store_file(const std::string& from, const std::string& to) {
    int fd = open(from.c_str(), O_RDONLY);
    if (fd < 0 || fsync(fd) != 0) {
        if (fd >= 0) close(fd);
        throw CppSQLite3Exception(SQLITE_IOERR, "new store file cannot be synced", false);
    }
    close(fd);
    db_remove_side_files(to);
    if (std::rename(from.c_str(), to.c_str()) != 0)
        throw CppSQLite3Exception(SQLITE_IOERR, "new store file cannot take the old one's place", false);
    std::string folder = to.substr(0, to.find_last_of('/') + 1);
    int dir = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
}

}  // namespace

std::string db_enum_to_string(TABLE table) {
    switch (table) {
        case FEATURE_CODE: return "feature_code";
        case RECORD_COUNT: return "record_count";
    }
    return "";
}

// The definitions of the file's tables, lowered (SQLite's LIKE, which the
// layout checks used, ignored case), read in one statement.
std::unordered_map<std::string, std::string> table_definitions(CppSQLite3DB& db) {
    std::unordered_map<std::string, std::string> tables;
    CppSQLite3Query query = db.execQuery("select name, coalesce(sql, '') from sqlite_master where type = 'table';");
    for (; !query.eof(); query.nextRow()) {
        std::string sql = query.getStringField(1, "");
        std::transform(sql.begin(), sql.end(), sql.begin(), [](unsigned char c) { return std::tolower(c); });
        tables[query.getStringField(0, "")] = sql;
    }
    return tables;
}

void db_create_tables(CppSQLite3DB& db) {
    // Read once: each statement below runs only where the file lacks what it
    // makes, and a file of this release's layout costs one statement.
    std::unordered_map<std::string, std::string> tables = table_definitions(db);
    auto has = [&](const char* table) { return tables.count(table) > 0; };
    auto holds = [&](const char* table, const char* word) {
        return has(table) && tables[table].find(word) != std::string::npos;
    };
    const bool new_features = !has("feature_code");
    if (new_features)
        db.execDML(
            "CREATE TABLE IF NOT EXISTS feature_code (id integer PRIMARY KEY AUTOINCREMENT, code text NOT NULL, "
            "feature text NOT NULL, update_time TIMESTAMP DEFAULT NULL);");
    if (!has("feed_back_record"))
        db.execDML(
            "CREATE TABLE IF NOT EXISTS feed_back_record (id integer PRIMARY KEY AUTOINCREMENT, code text NOT NULL, "
            "session_id text NOT NULL, hit integer NOT NULL);");
    if (new_features || !holds("feature_code", "deleted"))
        db.execDML("ALTER TABLE feature_code ADD COLUMN deleted INTEGER DEFAULT 0;");
    const bool new_records = !has("product_record");
    if (new_records) {
        db.execDML(
            "CREATE TABLE IF NOT EXISTS product_record (id integer PRIMARY KEY AUTOINCREMENT, session_id TEXT NOT "
            "NULL, model_code INTEGER NOT NULL, score REAL NOT NULL,feature_value TEXT NOT NULL,image_path TEXT "
            "NOT NULL,product_ids TEXT NOT NULL,real_codes TEXT NOT NULL,time TEXT NOT NULL);");
        db.execDML("CREATE INDEX session_id_index ON product_record(session_id);");
    }
    if (!new_records && !holds("product_record", "real_codes")) {
        // SQLite refuses a NOT NULL column without a default on a table that
        // holds rows; the default lets an older file with records migrate.
        db.execDML("ALTER TABLE product_record ADD COLUMN real_codes TEXT NOT NULL DEFAULT '';");
    }
    if (!new_features && !holds("feature_code", "update_time")) {
        db.execDML("ALTER TABLE feature_code ADD COLUMN update_time TIMESTAMP DEFAULT NULL;");
        db.execDML("update feature_code set update_time = CURRENT_TIMESTAMP;");
    }
    if (!has("record_count"))
        db.execDML(
            "CREATE TABLE IF NOT EXISTS record_count (id integer PRIMARY KEY AUTOINCREMENT, count integer NOT "
            "NULL);");
    if (!has("feature_producer")) db_create_producer_table(db);
}

void db_prepare_file(const std::string& path) {
    CppSQLite3DB db;
    db.open(path.c_str());
    db_prepare_store(db);
    db.close();
}

void db_prepare_store(CppSQLite3DB& db) {
    db_create_tables(db);
    db_prepare_rows(db);
}

void db_prepare_rows(CppSQLite3DB& db) {
    // Only a table that holds records is emptied, so a file without any
    // stays byte for byte what it was. An imported copy that held records
    // (an export made after recognitions) does not: they are emptied as at
    // every start, and belonged to sessions of another run anyway.
    int deleted = has_row(db, "select 1 from product_record limit 1;") ? db.execDML("delete from product_record;") : 0;
    logger->info("{} row product_record has been deleted", deleted);
    int cursor_rows = db.execScalar("select count(*) from record_count;", 0);
    logger->info("record_count ret :{}", cursor_rows);
    if (cursor_rows == 0) {
        CppSQLite3Buffer sql;
        db.execDML(sql.format("insert into record_count(count) values (%d)", 1));
    }
}

void db_init(DB_STORE* context) {
    context->db_path = tool_get_dll_path() + "featurexYz.db";
    db_prepare_file(context->db_path);
    db_reload_index(context);
}

void db_reload_index(DB_STORE* context) {
    std::clock_t start = std::clock();
    db_load_idx_from_db(context);
    logger->info("idx init cost:{}", static_cast<long>(std::clock() - start));
}

std::unique_ptr<libhnsw::Index> db_build_index(CppSQLite3DB& db, int capacity, long long* left_out) {
    long long skipped = 0;
    std::unique_ptr<libhnsw::Index> index(
        new libhnsw::Index(DB_INDEX_VALUES, capacity, libhnsw::BF_SORTED, libhnsw::L2, 16, 200, 100));
    if (!db.tableExists("feature_code")) return index;
    // A file from elsewhere may hold more live samples than any index of the
    // store: the newest are served rather than none.
    const long long surplus =
        std::max(0LL, static_cast<long long>(db.execScalar("select count(*) from feature_code where deleted = 0;")) -
                          capacity);
    if (surplus > 0) logger->info("{} samples left out: the index holds the newest {}", surplus, capacity);
    if (!load_samples(db, *index, surplus, skipped)) {
        // Only a file written by other means holds such samples; the full width
        // keeps their whole distance.
        logger->info("a feature has values beyond the first {}: the index holds {} per sample", DB_INDEX_VALUES,
                     DB_FEATURE_VALUES);
        index.reset();  // before the wider one is made: never two in memory
        index.reset(new libhnsw::Index(DB_FEATURE_VALUES, capacity, libhnsw::BF_SORTED, libhnsw::L2, 16, 200, 100));
        load_samples(db, *index, surplus, skipped);
    }
    if (left_out) *left_out = skipped;
    return index;
}

void db_load_idx_from_db(DB_STORE* context) {
    CppSQLite3DB db;
    db.open(context->db_path.c_str());
    std::clock_t start = std::clock();
    {
        // Held across the load, so a sample learned meanwhile waits and lands
        // in the new index. The old index goes first: one index in memory at a time.
        std::lock_guard<std::mutex> lock(g_mutex);
        context->index.reset();
        context->index = db_build_index(db, DB_INDEX_CAPACITY);
        context->sample_rows = -1;
    }
    logger->info("load index elapsed {}ms\n", clock_elapsed_ms(start, std::clock()));
    db.close();
}

namespace {

// A new index of a file other than the one being served, built beside the live
// index: a store replacement must know it can serve the file before it commits.
std::unique_ptr<libhnsw::Index> index_of_file(const std::string& path, long long* left_out = nullptr) {
    CppSQLite3DB db;
    db.open(path.c_str(), SQLITE_OPEN_READONLY);
    return db_build_index(db, DB_INDEX_CAPACITY, left_out);
}

}  // namespace

void db_install_store(DB_STORE* context, const std::string& path, bool every_row) {
    long long left_out = 0;
    std::unique_ptr<libhnsw::Index> fresh = index_of_file(path, &left_out);
    if (every_row && left_out > 0) {
        const std::string why = std::to_string(left_out) + " live samples cannot be loaded into the index";
        throw CppSQLite3Exception(SQLITE_CONSTRAINT, why.c_str(), false);
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    replace_store_file(path, context->db_path);
    context->index.swap(fresh);
    context->sample_rows = -1;
}

int get_table_size(DB_STORE* context) {
    CppSQLite3DB db;
    db.open(context->db_path.c_str());
    long long rows = count_rows(db);
    db.close();
    logger->info("feature_code ret :{}", rows);
    return static_cast<int>(rows);
}

int db_get_id(DB_STORE* context) {
    CppSQLite3DB db;
    db.open(context->db_path.c_str());
    WriteTransaction transaction(db);
    int slot = reuse_slot(db);
    transaction.commit();
    return slot;
}

int db_save_db_index(DB_STORE* context, DB_COMMODITY* sample) {
    std::vector<float> values;
    parse_feature(sample->feature, values);
    if (!finite_feature(values)) {
        logger->info("feature of {} is not finite, not learned", sample->code);
        return -1;
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    CppSQLite3DB db;
    db.open(context->db_path.c_str());
    // The row count is read once per loaded file and then kept: counting the
    // whole table on every save cost more than the save.
    long long rows = context->sample_rows >= 0 ? context->sample_rows : count_rows(db);
    logger->info("lastId is {}", context->index ? context->index->get_cur_element_count() : 0);
    WriteTransaction transaction(db);
    store_sample(db, rows, sample);
    transaction.commit();
    context->sample_rows = rows;
    db.close();
    if (context->index) {
        const int width = context->index->dimension();
        if (!std::all_of(values.begin() + width, values.end(), is_zero))
            logger->info("feature of label {} has values beyond the first {}; the index keeps only those",
                         sample->id - 1, width);
        try {
            context->index->Addsample(values.data(), sample->id - 1);
        } catch (const std::runtime_error& e) {
            // Only a file that held more samples than the index when it was
            // loaded gets here: the newest go in at the next start.
            logger->info("index full ({}): sample {} is stored and served after the next start", e.what(), sample->id);
        }
        logger->info("cover label is {}", sample->id - 1);
        logger->info("index size is {}", context->index->get_cur_element_count());
    }
    return 0;
}

int db_withdraw_rows(CppSQLite3DB& db, const std::string& condition) {
    if (!db.tableExists("feature_code")) return 0;
    // Only live rows become free slots, each once: a slot already waiting
    // on the stack would otherwise be handed out twice.
    db.execDML(("insert into record_count(count) select id from feature_code where (" + condition +
                ") and deleted = 0 and id not in (select count from record_count where id > 1) order by id;")
                   .c_str());
    return db.execDML(("update feature_code set deleted = 1 where (" + condition + ") and deleted = 0;").c_str());
}

void db_withdraw_code(DB_STORE* context, const std::string& code) {
    CppSQLite3DB db;
    db.open(context->db_path.c_str());
    CppSQLite3Buffer sql;
    {
        WriteTransaction transaction(db);
        db_withdraw_rows(db, sql.format("code = %Q", code.c_str()));
        if (db.tableExists("product_model"))
            db.execDML(sql.format("delete from product_model where product_code = %Q", code.c_str()));
        transaction.commit();
    }
    db.close();
    std::unique_ptr<libhnsw::Index> rebuilt = index_of_file(context->db_path);
    std::lock_guard<std::mutex> lock(g_mutex);
    context->index.swap(rebuilt);
}

DB_STAGED_STORE::DB_STAGED_STORE() : path_(db_temp_file("learn")) {
    if (path_.empty()) throw CppSQLite3Exception(SQLITE_CANTOPEN, "no room for a new store file", false);
    try {
        db_prepare_file(path_);
        db_.open(path_.c_str());
        db_.execDML("begin immediate;");
    } catch (...) {
        // No destructor runs for a half-made object: the file goes here.
        try {
            db_.close();
        } catch (...) {
        }
        std::remove(path_.c_str());
        db_remove_side_files(path_);
        throw;
    }
}

DB_STAGED_STORE::~DB_STAGED_STORE() {
    try {
        db_.close();
    } catch (...) {
    }
    if (installed_) return;
    std::remove(path_.c_str());
    db_remove_side_files(path_);
}

int DB_STAGED_STORE::add(DB_COMMODITY* sample) {
    std::vector<float> values;
    parse_feature(sample->feature, values);
    if (!finite_feature(values)) {
        logger->info("feature of {} is not finite, not learned", sample->code);
        return -1;
    }
    store_sample(db_, rows_, sample);
    return 0;
}

void DB_STAGED_STORE::record_producer(const std::string& model, const std::string& precision) {
    db_write_producer(db_, model, precision);
}

void DB_STAGED_STORE::install(DB_STORE* context) {
    db_.execDML("commit;");
    db_.close();
    db_install_store(context, path_);
    installed_ = true;
}

void db_close(DB_STORE* context) {
    if (!context) return;
    if (context->records) context->records->stop();
    if (context->match_db) context->match_db->close();
    std::unique_ptr<libhnsw::Index> released;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        released = std::move(context->index);
    }
}

namespace {

void insert_record(CppSQLite3DB& db, const DB_RECORD& record) {
    CppSQLite3Buffer sql;
    db.execDML(sql.format(
        "insert into product_record(session_id, model_code, score,feature_value,image_path,product_ids,real_codes,"
        "time) values (%Q,%d,%f,%Q,%Q,%Q,%Q,%f);",
        record.session_id.c_str(), record.model_code, static_cast<double>(record.score),
        record.feature_value.c_str(), record.image_path.c_str(), record.product_ids.c_str(),
        record.real_codes.c_str(), static_cast<double>(record.time)));
}

// All of `batch` in one transaction: one journal flush however many records
// waited. A file that another connection holds for longer than `busy_ms` gives
// kHeld, not logged: the record writer tries again. Any other failure is logged
// "save_record failed". Nothing of a failed batch is stored.
RecordWriter::Outcome write_records(KeptConnection& kept, const std::string& path, const std::vector<DB_RECORD>& batch,
                                    int busy_ms) {
    try {
        KeptConnection::Lease lease(kept, path, busy_ms);
        CppSQLite3DB& db = lease.db();
        if (batch.size() > 1) db.execDML("begin;");
        for (const DB_RECORD& record : batch) insert_record(db, record);
        if (batch.size() > 1) db.execDML("commit;");
        return RecordWriter::Outcome::kWritten;
    } catch (const CppSQLite3Exception& e) {
        if (e.errorCode() == SQLITE_BUSY) return RecordWriter::Outcome::kHeld;
        logger->info("save_record failed");
        logger->info("{}", e.errorMessage());
    } catch (const std::exception& e) {
        logger->info("save_record failed");
        logger->info("{}", e.what());
    } catch (...) {
        logger->info("save_record failed");
    }
    return RecordWriter::Outcome::kFailed;
}

// Writes one record now, with the store's usual busy wait.
int write_record_now(const std::string& path, const DB_RECORD& record) {
    KeptConnection once;
    const RecordWriter::Outcome outcome = write_records(once, path, std::vector<DB_RECORD>{record}, kStoreBusyMs);
    if (outcome == RecordWriter::Outcome::kHeld) logger->info("save_record failed");
    return outcome == RecordWriter::Outcome::kWritten ? 0 : -1;
}

}  // namespace

// The writer keeps its connection from one batch to the next, and lets it go
// when its thread ends (db_close): a connection opened for each record read
// the file's schema each time. Its commits keep the rollback journal's file
// and zero its header instead of deleting it: the same disk flushes, so each
// commit is as durable as before, without creating and unlinking a file (and
// flushing the folder) every time. The mode is this connection's alone; the
// file and every other connection keep theirs.
std::unique_ptr<RecordWriter> db_record_writer() {
    auto kept = std::make_shared<KeptConnection>("pragma journal_mode = persist;");
    return std::make_unique<RecordWriter>(
        [kept](const std::string& path, const std::vector<DB_RECORD>& batch) {
            return write_records(*kept, path, batch, static_cast<int>(RecordWriter::kAttempt.count()));
        },
        [kept] { kept->close(); });
}

int db_save_record(DB_STORE* context, DB_RECORD* record) {
    if (!context || !record) return -1;
    return write_record_now(context->db_path, *record);
}

void db_queue_record(DB_STORE* context, DB_RECORD record) {
    if (!context) return;
    if (context->records)
        context->records->queue(context->db_path, std::move(record));
    else
        write_record_now(context->db_path, record);
}

void db_flush_records(DB_STORE* context) {
    if (context && context->records) context->records->flush();
}

int db_select_record(DB_STORE* context, DB_RECORD* out, DB_FEEDBACK* in) {
    db_flush_records(context);
    CppSQLite3DB db;
    db.open(context->db_path.c_str());
    if (!db.tableExists("product_record")) {
        logger->info("product_record not found , please check AutoDetect success");
        return -1;
    }
    {
        CppSQLite3Buffer sql;
        CppSQLite3Query query = db.execQuery(sql.format(
            "select model_code,score,feature_value,image_path,product_ids,time,real_codes from product_record where "
            "session_id = %Q;",
            in->session_id.c_str()));
        if (!query.eof()) {
            out->model_code = query.getIntField(0, 0);
            out->score = static_cast<float>(query.getFloatField(1, 0.0));
            out->feature_value = text_or_empty(query.getStringField(2, ""));
            out->image_path = text_or_empty(query.getStringField(3, ""));
            out->product_ids = text_or_empty(query.getStringField(4, ""));
            out->time = static_cast<float>(std::strtod(text_or_empty(query.getStringField(5, "")).c_str(), nullptr));
            out->real_codes = text_or_empty(query.getStringField(6, ""));
        }
    }
    db.close();
    return 0;
}

void db_insert_feedback(DB_STORE* context, DB_FEEDBACK* feedback) {
    CppSQLite3DB db;
    db.open(context->db_path.c_str());
    CppSQLite3Buffer sql;
    db.execDML(sql.format("insert into feed_back_record(code, session_id,hit) values (%Q,%Q,%d);",
                          feedback->code.c_str(), feedback->session_id.c_str(), feedback->hit ? 1 : 0));
    db.close();
}
