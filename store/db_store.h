#pragma once
// What the feature store works on: its file, the index loaded from it and the
// settings that steer a match. The library context is one (it derives from it);
// a tool or a test may make one of its own.
#include "store/matching.h"

#include <memory>
#include <mutex>
#include <string>

namespace libhnsw {
class Index;
}
class RecordWriter;
class KeptConnection;

struct DB_STORE {
    DB_STORE();
    ~DB_STORE();
    DB_STORE(const DB_STORE&) = delete;
    DB_STORE& operator=(const DB_STORE&) = delete;

    std::string db_path;
    std::unique_ptr<libhnsw::Index> index;  // guarded by g_mutex
    long long sample_rows = -1;             // rows of feature_code, -1 until counted; guarded by g_mutex
    std::unique_ptr<RecordWriter> records;  // recognition records on their way to db_path
    std::unique_ptr<KeptConnection> match_db;  // the matching's connection, kept between matches
    float filter_score = 0.0f;
    int search_k = SEARCH_K_DEFAULT;  // "searchK": nearest samples a match may look at
};

// The store lock around the vector index, shared by every store of the process.
extern std::mutex g_mutex;
