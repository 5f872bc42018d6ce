#include "store/store_file.h"

#include "store/CppSQLite3.h"
#include "store/database.h"
#include "store/import_rules.h"
#include "store/temp_files.h"
#include "store/usable_file.h"
#include "support/log.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <algorithm>
#include <cctype>
#include <climits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

namespace {

struct ConnectionClose {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using Connection = std::unique_ptr<sqlite3, ConnectionClose>;

Connection open_connection(const std::string& path, int flags) {
    const std::string why = (flags & SQLITE_OPEN_READWRITE) ? db_unusable_reason(path) : db_unreadable_reason(path);
    if (!why.empty()) {
        logger->info("{}: refused", why);
        return nullptr;
    }
    sqlite3* db = nullptr;
    const int opened = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    Connection owned(db);  // sqlite3_open_v2 may hand out a handle even when it fails
    if (opened != SQLITE_OK) return nullptr;
    sqlite3_busy_timeout(db, 5000);
    return owned;
}

class FileHandle {
public:
    explicit FileHandle(int fd) : fd_(fd) {}
    ~FileHandle() {
        if (fd_ >= 0) close(fd_);
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    int get() const { return fd_; }
    // Hands the descriptor over to the caller.
    void release() { fd_ = -1; }
    // Closes now, for callers that must know the close worked (a write may
    // report its failure only there).
    bool close_checked() {
        const int fd = fd_;
        fd_ = -1;
        return fd < 0 || close(fd) == 0;
    }

private:
    int fd_;
};

bool is_empty_file(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && status.st_size == 0;
}

bool write_all(int fd, const char* data, ssize_t size) {
    for (ssize_t done = 0; done < size;) {
        const ssize_t put = write(fd, data + done, static_cast<size_t>(size - done));
        if (put > 0) done += put;
        else if (!(put < 0 && errno == EINTR)) return false;
    }
    return true;
}

}  // namespace

bool db_snapshot_file(const std::string& from, const std::string& to) {
    if (is_empty_file(from)) return std::ofstream(to, std::ios::binary | std::ios::trunc).good();
    Connection source = open_connection(from, SQLITE_OPEN_READONLY);
    Connection target = source ? open_connection(to, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) : nullptr;
    if (!target) return false;
    sqlite3_backup* backup = sqlite3_backup_init(target.get(), "main", source.get(), "main");
    if (!backup) return false;
    const bool stepped = sqlite3_backup_step(backup, -1) == SQLITE_DONE;
    return sqlite3_backup_finish(backup) == SQLITE_OK && stepped;
}

namespace {

// Copies what `in` holds into `to`, taking from `budget` what it copies; false
// once a file that grows meanwhile would pass it.
bool copy_open_file(int in, const std::string& to, int create, unsigned long long& budget) {
    FileHandle out(open(to.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | create, 0600));
    if (out.get() < 0) return false;
    char block[65536];
    for (;;) {
        const ssize_t got = read(in, block, sizeof block);
        if (got == 0) break;
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 || static_cast<unsigned long long>(got) > budget || !write_all(out.get(), block, got)) return false;
        budget -= static_cast<unsigned long long>(got);
    }
    return out.close_checked();
}

// Opens a regular file without blocking (a FIFO would wait for a writer) and
// gives its size; -1 when it is anything else or cannot be opened.
int open_regular(const char* path, unsigned long long& size) {
    FileHandle in(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat status;
    if (in.get() < 0 || fstat(in.get(), &status) != 0 || !S_ISREG(status.st_mode)) return -1;
    size = static_cast<unsigned long long>(status.st_size);
    const int fd = in.get();
    in.release();
    return fd;
}

unsigned read_big_endian(const unsigned char* bytes, int count) {
    unsigned value = 0;
    for (int i = 0; i < count; ++i) value = (value << 8) | bytes[i];
    return value;
}

// The side files copied with a database: the transactions still in them.
const char* const kSideSuffixes[] = {"-wal", "-journal"};

// Sizes of the side files beside `from` (0 for a missing one); false when
// one is there but is no regular file.
bool side_file_sizes(const char* from, unsigned long long& total, bool& any) {
    for (const char* suffix : kSideSuffixes) {
        const std::string side = std::string(from) + suffix;
        struct stat status;
        if (stat(side.c_str(), &status) != 0 && errno == ENOENT) continue;
        if (stat(side.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return false;
        total += static_cast<unsigned long long>(status.st_size);
        any = true;
    }
    return true;
}

}  // namespace

std::string db_header_fault(const unsigned char* header, size_t length, unsigned long long size, bool side_files) {
    if (size == 0) return "";  // SQLite's empty database: the checks after the copy judge it
    static const char magic[] = "SQLite format 3";  // with its NUL, 16 bytes
    if (length < kDbHeaderBytes || size < kDbHeaderBytes || std::memcmp(header, magic, sizeof magic) != 0)
        return "file is not a database (no SQLite header)";
    const unsigned raw_page = read_big_endian(header + 16, 2);
    const unsigned long long page = raw_page == 1 ? 65536 : raw_page;
    if (page < 512 || page > 65536 || (page & (page - 1)) != 0) return "its header names no page size SQLite has";
    if (size % page != 0) return "its size is no whole number of pages";
    // The page count is valid only where the change counter says so; a side
    // file may still change it, so it is compared only when there is none.
    const unsigned long long pages = read_big_endian(header + 28, 4);
    const bool count_valid = pages != 0 && read_big_endian(header + 24, 4) == read_big_endian(header + 92, 4);
    if (count_valid && !side_files && pages * page != size)
        return "its header counts " + std::to_string(pages) + " pages of " + std::to_string(page) + " bytes, the file holds " +
               std::to_string(size) + " bytes";
    return "";
}

std::string db_copy_import(const char* from, const std::string& to) {
    unsigned long long size = 0, total = 0;
    bool sides = false;
    FileHandle in(from ? open_regular(from, size) : -1);
    if (in.get() < 0 || !side_file_sizes(from, total, sides)) return "not a readable regular file";
    total += size;
    if (total > kImportLimit)
        return "larger than " + std::to_string(kImportLimit >> 20) + " MB with its side files, more than any store";
    unsigned char header[kDbHeaderBytes] = {};
    const ssize_t got = pread(in.get(), header, sizeof header, 0);
    const std::string fault = db_header_fault(header, got < 0 ? 0 : static_cast<size_t>(got), size, sides);
    if (!fault.empty()) return fault;
    unsigned long long budget = kImportLimit;
    if (!copy_open_file(in.get(), to, 0, budget)) return "not a readable regular file";
    for (const char* suffix : kSideSuffixes) {
        const std::string side = std::string(from) + suffix;
        struct stat status;
        if (stat(side.c_str(), &status) != 0 && errno == ENOENT) continue;
        unsigned long long side_size = 0;
        FileHandle side_in(open_regular(side.c_str(), side_size));
        // The copy's own side file is new: nothing may stand in its place.
        if (side_in.get() < 0 || !copy_open_file(side_in.get(), to + suffix, O_CREAT | O_EXCL, budget))
            return "a side file " + side + " is no readable regular file";
    }
    return "";
}

namespace {

// Puts the transactions of the copied side files into the copy and takes it
// out of WAL mode: the live store keeps the rollback journal, and no side file
// may travel with it. False when the file will not leave WAL mode.
bool settle_journal(const std::string& path) {
    CppSQLite3DB db;
    db.open(path.c_str());
    std::string mode;
    {
        CppSQLite3Query query = db.execQuery("pragma journal_mode = delete;");
        mode = query.eof() ? "" : query.getStringField(0, "");
    }
    db.close();
    db_remove_side_files(path);
    return mode == "delete";
}

// What the file's schema holds, read in one pass: every definition of a table
// or an index in a fixed order (two files that hold the same definitions have
// the same tables), and the first object that is neither.
struct Schema {
    std::vector<std::string> definitions;
    std::string foreign;  // "view v is not the library's own"; empty when none
    bool has_features = false;
};

Schema read_schema(CppSQLite3DB& db) {
    Schema schema;
    std::vector<std::pair<std::string, std::string>> ordered;  // (type, name) -> definition
    CppSQLite3Query query = db.execQuery("select type, name, tbl_name, coalesce(sql, '') from sqlite_master;");
    for (; !query.eof(); query.nextRow()) {
        const std::string type = query.getStringField(0, ""), name = query.getStringField(1, "");
        const std::string sql = query.getStringField(3, "");
        std::string lower = sql;
        std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
        const bool foreign = (type != "table" && type != "index") || lower.find("virtual") != std::string::npos;
        if (foreign && schema.foreign.empty()) schema.foreign = type + " " + name + " is not the library's own";
        if (type == "table" && name == "feature_code") schema.has_features = true;
        if (name.compare(0, 7, "sqlite_") != 0)
            ordered.push_back({type + '\n' + name, type + " " + name + " " + query.getStringField(2, "") + " " + sql});
    }
    std::sort(ordered.begin(), ordered.end());
    for (auto& entry : ordered) schema.definitions.push_back(std::move(entry.second));
    return schema;
}

// A view or a trigger in an imported file would run inside every later call:
// the file must pass SQLite's integrity check and hold tables and indexes only.
std::string damage_or_foreign_objects(CppSQLite3DB& db, const Schema& schema) {
    {
        CppSQLite3Query check = db.execQuery("pragma integrity_check;");
        const std::string verdict = check.eof() ? "" : check.getStringField(0, "");
        if (verdict != "ok") return "integrity check: " + verdict;
    }
    if (!schema.foreign.empty()) return schema.foreign;
    if (!schema.has_features) return "no feature_code table";
    return "";
}

// Words of a table's definition that set a rule no column list shows: any of
// them makes a table other than the library's own.
const std::set<std::string>& rule_words() {
    static const std::set<std::string> words = {"check",   "collate",   "references", "unique",  "constraint",
                                                "conflict", "without",  "strict",     "generated", "foreign",
                                                "desc",     "asc"};
    return words;
}

void add_rule_words(const std::string& sql, std::vector<std::string>& shape) {
    std::string word;
    for (size_t i = 0; i <= sql.size(); ++i) {
        const unsigned char c = i < sql.size() ? static_cast<unsigned char>(sql[i]) : ' ';
        if (std::isalnum(c) || c == '_') {
            word += static_cast<char>(std::tolower(c));
            continue;
        }
        if (rule_words().count(word)) shape.push_back("rule " + word);
        word.clear();
    }
}

// One line per column (name, type, NOT NULL, key, generated), per index (by
// what it holds, not its name) and per rule word, sorted: two tables with the
// same shape behave the same under the library's statements. Defaults are left
// out: every statement of the library names each column it writes.
std::vector<std::string> table_shape(CppSQLite3DB& db, const std::string& table) {
    std::vector<std::string> shape;
    CppSQLite3Buffer sql;
    CppSQLite3Query columns = db.execQuery(sql.format(
        "select lower(name) || ' ' || lower(type) || ' ' || \"notnull\" || ' ' || pk || ' ' || hidden "
        "from pragma_table_xinfo(%Q);",
        table.c_str()));
    for (; !columns.eof(); columns.nextRow()) shape.push_back(std::string("column ") + columns.getStringField(0, ""));
    CppSQLite3Query indexes = db.execQuery(sql.format(
        "select 'index ' || l.\"unique\" || ' ' || l.origin || ' ' || l.partial || ' ' || "
        "(select group_concat(coalesce(lower(x.name), '(expression)') || ' ' || x.desc || ' ' || lower(x.coll), ',') "
        "from (select * from pragma_index_xinfo(l.name) where key = 1 order by seqno) x) "
        "from pragma_index_list(%Q) l;",
        table.c_str()));
    for (; !indexes.eof(); indexes.nextRow()) shape.push_back(indexes.getStringField(0, ""));
    CppSQLite3Query definition =
        db.execQuery(sql.format("select coalesce(sql, '') from sqlite_master where type = 'table' and name = %Q;",
                                table.c_str()));
    if (!definition.eof()) add_rule_words(definition.getStringField(0, ""), shape);
    std::sort(shape.begin(), shape.end());
    return shape;
}

std::vector<std::string> user_tables(CppSQLite3DB& db) {
    std::vector<std::string> tables;
    CppSQLite3Query query =
        db.execQuery("select name from sqlite_master where type = 'table' and name not like 'sqlite\\_%' escape '\\' "
                     "order by name;");
    for (; !query.eof(); query.nextRow()) tables.push_back(query.getStringField(0, ""));
    return tables;
}

long long number(CppSQLite3DB& db, const std::string& sql) {
    CppSQLite3Query query = db.execQuery(sql.c_str());
    return query.eof() ? 0 : query.getInt64Field(0, 0);
}

// The library's own tables and the shape of each, built once in memory: they
// are the same for the life of the process.
struct OwnTables {
    std::vector<std::string> names;
    std::vector<std::vector<std::string>> shapes;  // in the order of names
    std::vector<std::string> definitions;
};

const OwnTables& own_tables() {
    static const OwnTables own = [] {
        OwnTables tables;
        CppSQLite3DB db;
        db.open(":memory:");
        db_create_tables(db);
        tables.names = user_tables(db);
        for (const std::string& table : tables.names) tables.shapes.push_back(table_shape(db, table));
        tables.definitions = read_schema(db).definitions;
        return tables;
    }();
    return own;
}

// Compares a migrated copy with the tables the library itself creates.
std::string foreign_schema(CppSQLite3DB& db, const std::vector<std::string>& definitions) {
    const OwnTables& own = own_tables();
    if (definitions == own.definitions) return "";
    const std::vector<std::string>& tables = own.names;
    std::vector<std::string> held = user_tables(db);
    // Stores of older releases may carry a product_model table; withdrawing a
    // product deletes its rows by product_code, so that column is all it needs.
    auto model = std::find(held.begin(), held.end(), "product_model");
    if (model != held.end() && number(db, "select count(*) from pragma_table_info('product_model') "
                                          "where lower(name) = 'product_code';") == 1)
        held.erase(model);
    if (held != tables) return "its tables are not the library's own";
    for (size_t i = 0; i < tables.size(); ++i) {
        if (table_shape(db, tables[i]) != own.shapes[i])
            return "table " + tables[i] + " differs from the library's own (columns, types, constraints or indexes)";
    }
    return "";
}


// Room for 2^62 more rows in every table: no shop comes near it, a crafted
// file can. Under AUTOINCREMENT a table whose ids reached the end of their
// range refuses every insert ("database or disk is full"): such a store would
// lose every recognition's record, every withdrawal's free slots and, once
// emptied, its cursor row at the next start.
constexpr long long kIdsNearTheirEnd = 1LL << 62;

struct IdFigures {
    long long rows = 0, below_one = 0, top = 0, held_slots = 0;
    std::string table_at_end;  // a table whose ids have no room left
};

// The sample ids' figures and the other tables' highest ids in one statement,
// then every sequence SQLite keeps (a text or a real there is refused).
IdFigures id_figures(CppSQLite3DB& db) {
    IdFigures f;
    {
        CppSQLite3Query counts = db.execQuery(
            ("select count(*), count(case when id < 1 then 1 end), coalesce(max(id), 0), "
             "count(case when id <= " + std::to_string(DB_SAMPLE_CAPACITY) + " then 1 end), "
             "(select coalesce(max(id), 0) from feed_back_record), (select coalesce(max(id), 0) from record_count) "
             "from feature_code;").c_str());
        if (counts.eof()) return f;
        f.rows = counts.getInt64Field(0, 0);
        f.below_one = counts.getInt64Field(1, 0);
        f.top = counts.getInt64Field(2, 0);
        f.held_slots = counts.getInt64Field(3, 0);
        if (counts.getInt64Field(4, 0) > kIdsNearTheirEnd) f.table_at_end = "feed_back_record";
        if (counts.getInt64Field(5, 0) > kIdsNearTheirEnd) f.table_at_end = "record_count";
    }
    if (!db.tableExists("sqlite_sequence")) return f;
    CppSQLite3Query sequences = db.execQuery("select name, seq from sqlite_sequence;");
    for (; !sequences.eof(); sequences.nextRow()) {
        const std::string name = sequences.getStringField(0, "");
        const bool whole = sequences.fieldDataType(1) == SQLITE_INTEGER;
        const long long seq = sequences.getInt64Field(1, 0);
        if (name == "feature_code" && whole)
            f.top = std::max(f.top, seq);
        else if ((name == "feature_code" || name == "product_record" || name == "feed_back_record" ||
                  name == "record_count") && (!whole || seq > kIdsNearTheirEnd))
            f.table_at_end = name;
    }
    return f;
}

// The ids the store will hand out from now on, and every sample it can come to
// hold: new rows at the end until the table is full, then the slots 1..capacity
// (a slot without a row gets one when the cursor reaches it) and any withdrawn
// row brought back. All of it must fit the index and its labels.
std::string ids_without_room(CppSQLite3DB& db) {
    const long long capacity = DB_SAMPLE_CAPACITY;
    const IdFigures f = id_figures(db);
    if (f.below_one > 0) return "sample ids below 1";
    if (!f.table_at_end.empty()) return "the ids of table " + f.table_at_end + " are at the end of their range";
    const long long added = std::max(0LL, capacity - f.rows);
    if (f.top > INT_MAX - added) return "sample ids would pass what an index label can name";
    const long long added_slots = std::min(added, std::max(0LL, capacity - f.top));
    const long long reach = f.rows + added + (capacity - f.held_slots - added_slots);
    if (reach > DB_INDEX_CAPACITY)
        return "the store could come to hold " + std::to_string(reach) + " samples, more than the index's " +
               std::to_string(DB_INDEX_CAPACITY);
    return "";
}

// A free-slot row naming a live or missing row, or a slot already waiting, is
// stale: each would cost a later learning a step, tens of thousands of them
// seconds with every recognition waiting.
void drop_stale_free_slots(CppSQLite3DB& db) {
    if (number(db, "select exists (select 1 from record_count where id > 1);") == 0) return;  // most stores
    const int dropped = db.execDML(
        "delete from record_count where id > 1 and (count not in (select id from feature_code where deleted = 1) "
        "or id not in (select max(id) from record_count where id > 1 group by count));");
    if (dropped > 0) logger->info("{} stale free-slot rows dropped from the imported file", dropped);
}

// What the schema alone decides, for the schemas met last: whether the
// migration changes them, and the comparison's verdict on the migrated tables.
// It takes a few dozen statements, more than all the rest of the check; a shop
// importing the same export again, or a fuzzing run, meets the same few
// schemas. The library's own (every export it made) is known from the start.
struct SchemaVerdict {
    bool migrates = false;
    std::string fault;
};

class SchemaVerdicts {
public:
    std::optional<SchemaVerdict> find(const std::vector<std::string>& definitions) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (definitions == own_tables().definitions) return SchemaVerdict();
        auto known = verdicts_.find(definitions);
        if (known == verdicts_.end()) return std::nullopt;
        return known->second;
    }
    void keep(const std::vector<std::string>& definitions, const SchemaVerdict& verdict) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (verdicts_.size() >= kKept) verdicts_.clear();
        verdicts_.emplace(definitions, verdict);
    }

private:
    static constexpr size_t kKept = 256;
    std::mutex mutex_;
    std::map<std::vector<std::string>, SchemaVerdict> verdicts_;
};

SchemaVerdicts& schema_verdicts() {
    static SchemaVerdicts verdicts;
    return verdicts;
}

// The migration, then the comparison with the library's tables; for a schema
// met before, the migration only where it changes something, and the verdict.
std::string migrated_schema_fault(CppSQLite3DB& db, const std::vector<std::string>& definitions) {
    if (std::optional<SchemaVerdict> known = schema_verdicts().find(definitions)) {
        if (!known->fault.empty()) return known->fault;
        if (known->migrates)
            db_prepare_store(db);
        else
            db_prepare_rows(db);
        return "";
    }
    db_prepare_store(db);
    SchemaVerdict verdict;
    const std::vector<std::string> migrated = read_schema(db).definitions;
    verdict.migrates = migrated != definitions;
    verdict.fault = foreign_schema(db, migrated);
    schema_verdicts().keep(definitions, verdict);
    return verdict.fault;
}

}  // namespace

std::string db_admit_import(const std::string& path) {
    if (!settle_journal(path)) return "it cannot leave WAL mode";
    CppSQLite3DB db;
    db.open(path.c_str());
    const std::string why = db_admit_store(db);
    db.close();
    return why;
}

std::string db_admit_store(CppSQLite3DB& db) {
    const Schema schema = read_schema(db);
    const std::string damage = damage_or_foreign_objects(db, schema);
    if (!damage.empty()) return damage;
    std::string why = migrated_schema_fault(db, schema.definitions);
    if (why.empty()) why = ids_without_room(db);
    if (why.empty()) why = db_deleted_marks_unfit(db);
    if (why.empty()) why = db_live_samples_unfit(db);
    if (why.empty()) drop_stale_free_slots(db);
    return why;
}
