#pragma once
// The in-memory vector index: every learned feature under an integer label,
// and the k stored features nearest to a query in one call.
//
// Not thread-safe: the store serialises adds and searches with g_mutex. Each
// index owns its own engine, so an index being rebuilt can live next to the
// one it replaces.
#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace libhnsw {

enum MODE {
    BF_QUEUE = 0,     // exhaustive search, farthest of the k first
    BF_SORTED = 1,    // exhaustive search, closest first (what the store uses)
    HNSW_QUEUE = 2,   // graph search, farthest of the k first
    HNSW_SORTED = 3,  // graph search, closest first
    DISABLED = 4,     // every operation does nothing
    MATRIX = 5,       // exhaustive search over one dense matrix, closest first
};

enum SPACE_TYPE {
    IP = 0,  // 1 - dot product
    L1 = 1,  // sum of absolute differences
    L2 = 2,  // squared Euclidean distance
};

// A stored vector handed out by Selectsample; release it with freeSelectsample.
struct RequireSample {
    float* data = nullptr;
    int length = 0;
};

class Index {
public:
    Index(int dim, int max_elements, MODE mode, SPACE_TYPE space, unsigned M = 16,
          unsigned ef_construction = 200, unsigned random_seed = 100);
    ~Index();
    Index(const Index&) = delete;
    Index& operator=(const Index&) = delete;

    // Stores `dim` values under `label`; an existing label has its vector
    // replaced. Returns 1. Throws std::runtime_error when a new label does not
    // fit any more (exhaustive and graph modes).
    int Addsample(const float* v, int label);
    // Returns 1, or -1 for a label that is not stored.
    int Removesample(int label);
    // Copies the label's vector into `out` (empty for an unknown label).
    int Selectsample(RequireSample& out, int label);
    // The label's `dim` stored values where they can be read in place (the
    // exhaustive and matrix modes), null otherwise or for an unknown label.
    // Valid until the index next changes.
    const float* StoredVector(int label) const;
    int freeSelectsample(RequireSample* sample);
    // At most k (distance, label) pairs, never more than are stored: the k
    // smallest pairs, so of two equally distant vectors the smaller label
    // comes first. IP reports the dot product in MATRIX mode.
    std::vector<std::pair<float, int>> Search(const float* query, int k);

    void saveIndex(const std::string& path);
    // Replaces the engine's content by a file written with saveIndex. Returns 0;
    // throws std::runtime_error for a missing or unusable file.
    int loadIndex(const std::string& path);

    size_t get_data_size() const;
    int get_max_elements() const;
    int get_cur_element_count() const;

    int dimension() const { return dim; }
    MODE index_mode() const { return mode; }

private:
    int dim;
    int max_elements;
    MODE mode;
    SPACE_TYPE space;

    struct Engine;
    std::unique_ptr<Engine> engine;
};

}  // namespace libhnsw
