#pragma once
// The feature database "featurexYz.db" and the vector index built from it:
// learned samples with their slot bookkeeping, matching, and the recognition
// and feedback records.
//
// Every function opens its own connection on the store's db_path and closes it
// before returning. Unless a comment says otherwise, database failures are
// thrown as CppSQLite3Exception (store/CppSQLite3.h): callers catch them.
#include "store/CppSQLite3.h"
#include "store/db_store.h"
#include "store/matching.h"

#include <memory>
#include <string>
#include <vector>

// Rows of feature_code the store keeps; from then on new samples reuse slots.
constexpr int DB_SAMPLE_CAPACITY = 30000;
// Samples an index holds: the live rows of a full table with room to spare.
constexpr int DB_INDEX_CAPACITY = 55000;
// Values per sample in the index: the only ones a feature of the library can
// make non-zero (a zero shared by every sample and query adds nothing to a distance).
constexpr int DB_INDEX_VALUES = 160;

enum TABLE { FEATURE_CODE = 0, RECORD_COUNT = 1 };

// A sample to learn. `id` 0 asks for a new row, any other value names the row
// to overwrite; on return it holds the row's id.
struct DB_COMMODITY {
    int id = 0;
    std::string code;
    const char* feature = nullptr;  // feature text, at most 720 values
};

struct DB_RECORD {
    int model_code = 0;
    float score = 0.0f;
    float time = 0.0f;
    std::string image_path;
    std::string feature_value;
    std::string product_ids;
    std::string real_codes;
    std::string session_id;
};

struct DB_FEEDBACK {
    std::string code;
    std::string session_id;
    bool hit = false;
    std::string product_name;  // carried along, not stored
};

// Sets db_path, creates or migrates the file, empties product_record, then
// builds and loads a new index. Callers run db_close first.
void db_init(DB_STORE* context);
// Creates the tables the library uses where they are missing and migrates an
// older layout, in the file at `path`; empties its recognition records.
void db_prepare_file(const std::string& path);
// The same on an open database.
void db_prepare_store(CppSQLite3DB& db);
// Its part on the rows alone (the records emptied, the cursor row made), for a
// file that already holds the library's tables as they are now.
void db_prepare_rows(CppSQLite3DB& db);
// The schema part of db_prepare_file, on an open database: the one definition
// of the library's own tables, which an imported file is compared with.
void db_create_tables(CppSQLite3DB& db);
// Replaces the index by one holding every live sample of the file, under g_mutex.
void db_load_idx_from_db(DB_STORE* context);
// An index of the live samples of an open file, room for `capacity`: 160
// values per sample, or 720 when some sample of the file has more. Rows no
// label can name or with a non-finite feature are left out (logged); so are
// the oldest live samples (by last write, then id) beyond the capacity, with
// one log line. `left_out`, when given, receives how many live rows it lacks.
std::unique_ptr<libhnsw::Index> db_build_index(CppSQLite3DB& db, int capacity, long long* left_out = nullptr);
// Replaces the index by a fresh one loaded from the file as it is now; the file
// itself is not touched.
void db_reload_index(DB_STORE* context);
// Puts the finished store file at `path` in the place of the live one by one
// rename, with an index built from it beforehand: when this throws, the live
// file and index are as they were. With `every_row`, a file some of whose live
// rows the index cannot hold is refused (thrown).
void db_install_store(DB_STORE* context, const std::string& path, bool every_row = false);
// Learns one sample under g_mutex: slot choice and row write in one
// transaction, then the index update. -1 (nothing stored) when the feature is
// not finite, else 0.
int db_save_db_index(DB_STORE* context, DB_COMMODITY* sample);
int get_table_size(DB_STORE* context);
// The slot to overwrite once the table is full: the newest withdrawn slot whose
// row is still withdrawn (stale entries are dropped), then the cursor, which
// moves on round-robin.
int db_get_id(DB_STORE* context);
// Withdraws every live sample of `code`: each of its slots goes on the
// free-slot stack once, its rows are marked deleted (one transaction), and the
// index is rebuilt from the live rows that remain.
void db_withdraw_code(DB_STORE* context, const std::string& code);
// The same for the live rows of feature_code that `condition` (an SQL
// expression over its columns, made by the library) selects, on an open file
// inside the caller's transaction; the index is not touched. Rows withdrawn.
int db_withdraw_rows(CppSQLite3DB& db, const std::string& condition);
// Writes the records still on their way and destroys the index (safe to call
// when there is none).
void db_close(DB_STORE* context);
std::string db_enum_to_string(TABLE table);

// Stores one recognition now. Never throws: 0, or -1 after logging "save_record failed".
int db_save_record(DB_STORE* context, DB_RECORD* record);
// Hands a recognition to the context's record writer: it reaches the file a
// moment later, off the caller's time (docs/store.md). Never throws.
void db_queue_record(DB_STORE* context, DB_RECORD record);
// Returns once every record queued before the call is in the file. Whoever
// reads product_record, copies or replaces the file calls it first.
void db_flush_records(DB_STORE* context);
// The writer each context owns (made with it); db_close stops its thread.
std::unique_ptr<RecordWriter> db_record_writer();
// Reads the recognition of in->session_id into `out` (untouched when there is
// none), after the records still on their way. -1 when product_record does not
// exist, otherwise 0.
int db_select_record(DB_STORE* context, DB_RECORD* out, DB_FEEDBACK* in);
void db_insert_feedback(DB_STORE* context, DB_FEEDBACK* feedback);

// Folder learning's new store: a temporary file beside the live one, filled in
// one transaction and put in place by install(). Destroyed without install(),
// it leaves the live store untouched, and so does a killed process.
class DB_STAGED_STORE {
public:
    DB_STAGED_STORE();
    ~DB_STAGED_STORE();
    DB_STAGED_STORE(const DB_STAGED_STORE&) = delete;
    DB_STAGED_STORE& operator=(const DB_STAGED_STORE&) = delete;
    // db_save_db_index's rules on the new file; -1 when the feature is not finite.
    int add(DB_COMMODITY* sample);
    // Records which engine made the features (store/feature_producer.h).
    void record_producer(const std::string& model, const std::string& precision);
    void install(DB_STORE* context);

private:
    std::string path_;
    CppSQLite3DB db_;
    long long rows_ = 0;
    bool installed_ = false;
};
