#pragma once
// The store's record of which engine made its features (model identity and
// precision, engine/feature_producer.h), kept in the table feature_producer
// as one row; a store without the row comes from before the record existed.
// And the row operations that make a store another engine's: features
// replaced in place, samples without a picture withdrawn.
//
// Failures are thrown as CppSQLite3Exception, like the rest of the store.
#include "store/CppSQLite3.h"

#include <string>
#include <vector>

struct DB_PRODUCER_RECORD {
    bool present = false;   // false: the store predates the record
    std::string model;      // "" when the row is none the library writes (names no model)
    std::string precision;
};

// Part of the library's own tables: created wherever they are.
void db_create_producer_table(CppSQLite3DB& db);
DB_PRODUCER_RECORD db_read_producer(CppSQLite3DB& db);
// Replaces the record, inside the caller's transaction when one is open.
void db_write_producer(CppSQLite3DB& db, const std::string& model, const std::string& precision);

long long db_live_sample_count(CppSQLite3DB& db);

// The live samples of one code, newest first (by last write, then id).
struct DB_CODE_SAMPLES {
    std::string code;
    std::vector<long long> ids;
};
std::vector<DB_CODE_SAMPLES> db_live_samples_by_code(CppSQLite3DB& db);
// Puts a feature text made again in a sample's row; its code, slot and time of
// learning stay, so it keeps its place among the newest.
void db_replace_feature(CppSQLite3DB& db, long long id, const std::string& feature);
