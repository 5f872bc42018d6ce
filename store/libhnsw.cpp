#include "store/libhnsw.h"

#include "store/opencv_matoperations.h"
#include "store/quantized_rows.h"

// hnswlib 0.6.2 defines plain (non-inline) functions and variables in its
// headers. Everything it includes is pulled in first, and the library itself
// is then compiled into an unnamed namespace: its symbols stay private to this
// file, so a program that links us may include hnswlib on its own.
#include <algorithm>
#include <atomic>
#include <cassert>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <iostream>
#include <list>
#include <mutex>
#include <queue>
#include <random>
#include <stdexcept>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unordered_map>
#include <unordered_set>
#include <vector>
#if defined(__SSE__) && !defined(NO_MANUAL_VECTORIZATION)
#include <cpuid.h>
#include <x86intrin.h>
#if defined(__AVX512F__)
#include <immintrin.h>
#endif
#endif

namespace {
#include <hnswlib/hnswlib.h>
}  // namespace

#include <opencv2/core.hpp>

namespace libhnsw {

namespace {

using hnswlib::labeltype;

float l1_distance(const void* a, const void* b, const void* dim_ptr) {
    const float* x = static_cast<const float*>(a);
    const float* y = static_cast<const float*>(b);
    const size_t dim = *static_cast<const size_t*>(dim_ptr);
    float sum = 0.0f;
    for (size_t i = 0; i < dim; ++i) sum += std::fabs(x[i] - y[i]);
    return sum;
}

class L1Space : public hnswlib::SpaceInterface<float> {
public:
    explicit L1Space(size_t dim) : dim_(dim), data_size_(dim * sizeof(float)) {}
    size_t get_data_size() override { return data_size_; }
    hnswlib::DISTFUNC<float> get_dist_func() override { return l1_distance; }
    void* get_dist_func_param() override { return &dim_; }

private:
    size_t dim_;
    size_t data_size_;
};

// hnswlib's exhaustive engine with the label operations it lacks. Its own
// removePoint inserts an unknown label into the map and re-inserts a removed
// label when it was the last one stored; both corrupt the index.
//
// With Euclidean distances it keeps a coarse copy of its vectors (QuantizedRows)
// that narrows each search to the vectors that can be among the nearest; their
// exact distances are then the same values, in the same order, as a search
// through every vector would give.
class Exhaustive : public hnswlib::BruteforceSearch<float> {
public:
    Exhaustive(hnswlib::SpaceInterface<float>* space, size_t max_elements, bool euclidean)
        : hnswlib::BruteforceSearch<float>(space, max_elements),
          coarse_(space->get_data_size() / sizeof(float)),
          filtered_(euclidean) {
        if (max_elements > 0 && data_ == nullptr)
            throw std::runtime_error("Not enough memory: BruteforceSearch failed to allocate data");
    }

    void addPoint(const void* datapoint, labeltype label) override {
        hnswlib::BruteforceSearch<float>::addPoint(datapoint, label);
        code_row(dict_external_to_internal[label]);
    }

    // The k stored vectors nearest to `query` as (squared distance, label),
    // the smallest pairs first, as searchKnnCloserFirst gives them. The
    // candidates' exact distances are taken nearest lower bound first, and no
    // further once the next lower bound lies beyond the k-th distance found:
    // that candidate and every later one are farther than k others.
    std::vector<std::pair<float, labeltype>> nearest(const void* query, size_t k) const {
        if (!filtered_ || coarse_.rows() < cur_element_count) return searchKnnCloserFirst(query, k);
        std::vector<QuantizedRows::Candidate> candidates =
            coarse_.candidates(static_cast<const float*>(query), cur_element_count, k);
        std::sort(candidates.begin(), candidates.end(),
                  [](const auto& a, const auto& b) { return a.lower < b.lower; });
        std::priority_queue<std::pair<float, labeltype>> best;  // the k smallest pairs so far
        for (const QuantizedRows::Candidate& candidate : candidates) {
            if (best.size() == k &&
                candidate.lower > std::sqrt(static_cast<double>(best.top().first)) * (1.0 + QuantizedRows::kSlack) + 1e-6)
                break;
            const char* place = data_ + size_per_element_ * candidate.row;
            labeltype label;
            std::memcpy(&label, place + data_size_, sizeof label);
            const float distance = fstdistfunc_(query, place, dist_func_param_);
            // A NaN has no place in an ordering: the search through every vector decides.
            if (std::isnan(distance)) return searchKnnCloserFirst(query, k);
            const std::pair<float, labeltype> hit(distance, label);
            if (best.size() < k) {
                best.push(hit);
            } else if (hit < best.top()) {
                best.pop();
                best.push(hit);
            }
        }
        std::vector<std::pair<float, labeltype>> hits(best.size());
        for (size_t i = hits.size(); i-- > 0; best.pop()) hits[i] = best.top();
        return hits;
    }

    bool remove_label(labeltype label) {
        std::unique_lock<std::mutex> lock(index_lock);
        auto found = dict_external_to_internal.find(label);
        if (found == dict_external_to_internal.end()) return false;
        const size_t freed = found->second;
        const size_t last = cur_element_count - 1;
        dict_external_to_internal.erase(found);
        if (freed != last) {
            char* last_place = data_ + size_per_element_ * last;
            labeltype moved;
            std::memcpy(&moved, last_place + data_size_, sizeof moved);
            std::memcpy(data_ + size_per_element_ * freed, last_place, size_per_element_);
            dict_external_to_internal[moved] = freed;
        }
        --cur_element_count;
        if (filtered_) {
            coarse_.move(last, freed);
            coarse_.keep(cur_element_count);
        }
        return true;
    }

    const float* find_label(labeltype label) const {
        auto found = dict_external_to_internal.find(label);
        if (found == dict_external_to_internal.end()) return nullptr;
        return reinterpret_cast<const float*>(data_ + size_per_element_ * found->second);
    }

    float* copy_label(labeltype label) {
        std::unique_lock<std::mutex> lock(index_lock);
        auto found = dict_external_to_internal.find(label);
        if (found == dict_external_to_internal.end()) return nullptr;
        float* copy = static_cast<float*>(std::malloc(data_size_));
        if (!copy) throw std::runtime_error("Not enough memory");
        std::memcpy(copy, data_ + size_per_element_ * found->second, data_size_);
        return copy;
    }

    // hnswlib's own loader neither frees the old storage nor rebuilds the
    // label map; this one does both and refuses a file of another layout.
    void load(const std::string& path) {
        std::ifstream input(path, std::ios::binary);
        if (!input) throw std::runtime_error("Cannot open file");
        size_t max_elements = 0, per_element = 0, count = 0;
        input.read(reinterpret_cast<char*>(&max_elements), sizeof max_elements);
        input.read(reinterpret_cast<char*>(&per_element), sizeof per_element);
        input.read(reinterpret_cast<char*>(&count), sizeof count);
        if (!input || per_element != data_size_ + sizeof(labeltype) || count > max_elements ||
            max_elements > maxelements_)
            throw std::runtime_error("Index seems to be corrupted or unsupported");
        std::unique_lock<std::mutex> lock(index_lock);
        input.read(data_, static_cast<std::streamsize>(count * size_per_element_));
        if (!input) throw std::runtime_error("Index seems to be corrupted or unsupported");
        dict_external_to_internal.clear();
        cur_element_count = count;
        coarse_.keep(0);
        for (size_t i = 0; i < count; ++i) {
            labeltype label;
            std::memcpy(&label, data_ + size_per_element_ * i + data_size_, sizeof label);
            dict_external_to_internal[label] = i;
            code_row(i);
        }
    }

private:
    void code_row(size_t row) {
        if (!filtered_) return;
        try {
            coarse_.set(row, reinterpret_cast<const float*>(data_ + size_per_element_ * row));
        } catch (const std::bad_alloc&) {
            // No room for the coarse copy: every search reads every vector.
            filtered_ = false;
            coarse_ = QuantizedRows(coarse_.width());
        }
    }

    QuantizedRows coarse_;
    bool filtered_;
};

using Graph = hnswlib::HierarchicalNSW<float>;

}  // namespace

struct Index::Engine {
    // hnswlib stores each label right behind its vector: on a 64-bit build a
    // vector of an odd number of floats would leave the label misaligned, so
    // such vectors are stored with one trailing zero, which no distance sees.
    size_t stored_dim = 0;
    std::vector<float> padded;
    const float* stored_form(const float* v, int dim) {
        if (stored_dim == static_cast<size_t>(dim)) return v;
        padded.assign(stored_dim, 0.0f);
        std::memcpy(padded.data(), v, sizeof(float) * static_cast<size_t>(dim));
        return padded.data();
    }

    std::unique_ptr<hnswlib::SpaceInterface<float>> space;
    std::unique_ptr<Exhaustive> exhaustive;  // modes 0 and 1
    std::unique_ptr<Graph> graph;            // modes 2 and 3
    hnswlib::AlgorithmInterface<float>* alg = nullptr;

    // Mode 5.
    cv::Mat db;
    std::vector<int> db_rows;
    std::unordered_map<int, int> dict_external_to_internal_;
    int cur_element_count = 0;
    int cur_element_index = 0;
};

namespace {

bool uses_exhaustive(MODE mode) { return mode == BF_QUEUE || mode == BF_SORTED; }
bool uses_graph(MODE mode) { return mode == HNSW_QUEUE || mode == HNSW_SORTED; }

}  // namespace

Index::Index(int dim_, int max_elements_, MODE mode_, SPACE_TYPE space_, unsigned M,
             unsigned ef_construction, unsigned random_seed)
    : dim(dim_), max_elements(max_elements_), mode(mode_), space(space_), engine(new Engine) {
    if (mode == DISABLED) return;
    if (dim <= 0 || max_elements < 0) throw std::invalid_argument("vector index: bad dimension or capacity");
    if (mode == MATRIX) {
        engine->db = cv::Mat::zeros(max_elements, dim, CV_32F);
        engine->db_rows.assign(static_cast<size_t>(max_elements), 0);
        return;
    }
    if (!uses_exhaustive(mode) && !uses_graph(mode)) throw std::invalid_argument("vector index: unknown mode");
    size_t stored = static_cast<size_t>(dim);
    while ((stored * sizeof(float)) % alignof(labeltype) != 0) ++stored;
    engine->stored_dim = stored;
    if (space == L2)
        engine->space.reset(new hnswlib::L2Space(stored));
    else if (space == L1)
        engine->space.reset(new L1Space(stored));
    else
        engine->space.reset(new hnswlib::InnerProductSpace(stored));
    if (uses_exhaustive(mode)) {
        engine->exhaustive.reset(new Exhaustive(engine->space.get(), static_cast<size_t>(max_elements), space == L2));
        engine->alg = engine->exhaustive.get();
    } else {
        engine->graph.reset(new Graph(engine->space.get(), static_cast<size_t>(max_elements), M,
                                      ef_construction, random_seed));
        engine->alg = engine->graph.get();
    }
}

Index::~Index() = default;

int Index::Addsample(const float* v, int label) {
    if (mode == DISABLED) return 1;
    if (mode != MATRIX) {
        engine->alg->addPoint(engine->stored_form(v, dim), static_cast<labeltype>(label));
        return 1;
    }
    Engine& e = *engine;
    if (max_elements <= 0) throw std::runtime_error("The number of elements exceeds the specified limit");
    int row;
    auto found = e.dict_external_to_internal_.find(label);
    if (found != e.dict_external_to_internal_.end()) {
        row = found->second;
    } else {
        if (e.cur_element_count < max_elements) {
            row = e.cur_element_count++;
        } else {
            if (e.cur_element_index >= max_elements) e.cur_element_index = 0;
            row = e.cur_element_index;
            // The overwritten row's old label must not keep pointing at it, or
            // adding that label again would overwrite the newcomer.
            auto stale = e.dict_external_to_internal_.find(e.db_rows[static_cast<size_t>(row)]);
            if (stale != e.dict_external_to_internal_.end() && stale->second == row)
                e.dict_external_to_internal_.erase(stale);
        }
        e.dict_external_to_internal_[label] = row;
        ++e.cur_element_index;
    }
    addPoint(e.db, v, row);
    e.db_rows[static_cast<size_t>(row)] = label;
    return 1;
}

int Index::Removesample(int label) {
    if (mode == DISABLED) return 1;
    if (uses_exhaustive(mode)) return engine->exhaustive->remove_label(static_cast<labeltype>(label)) ? 1 : -1;
    if (uses_graph(mode)) {
        try {
            engine->graph->markDelete(static_cast<labeltype>(label));
        } catch (const std::runtime_error&) {
            return -1;  // unknown or already removed
        }
        return 1;
    }
    Engine& e = *engine;
    auto found = e.dict_external_to_internal_.find(label);
    if (found == e.dict_external_to_internal_.end()) return -1;
    const int freed = found->second;
    const int last = e.cur_element_count - 1;
    e.dict_external_to_internal_.erase(found);
    removePoint(e.db, freed, last);
    if (freed != last) {
        const int moved = e.db_rows[static_cast<size_t>(last)];
        e.dict_external_to_internal_[moved] = freed;
        e.db_rows[static_cast<size_t>(freed)] = moved;
    }
    e.db_rows[static_cast<size_t>(last)] = 0;
    --e.cur_element_count;
    if (e.cur_element_index > 0) --e.cur_element_index;
    return 1;
}

int Index::Selectsample(RequireSample& out, int label) {
    freeSelectsample(&out);
    if (uses_exhaustive(mode)) {
        out.data = engine->exhaustive->copy_label(static_cast<labeltype>(label));
        if (out.data) out.length = dim;
        return 1;
    }
    if (mode == MATRIX) {
        auto found = engine->dict_external_to_internal_.find(label);
        if (found == engine->dict_external_to_internal_.end()) return 0;
        out.data = static_cast<float*>(std::malloc(sizeof(float) * static_cast<size_t>(dim)));
        if (!out.data) throw std::runtime_error("Not enough memory");
        std::memcpy(out.data, selectPoint(engine->db, found->second), sizeof(float) * static_cast<size_t>(dim));
        out.length = dim;
    }
    return 0;
}

const float* Index::StoredVector(int label) const {
    if (uses_exhaustive(mode)) return engine->exhaustive->find_label(static_cast<labeltype>(label));
    if (mode != MATRIX) return nullptr;
    auto found = engine->dict_external_to_internal_.find(label);
    if (found == engine->dict_external_to_internal_.end()) return nullptr;
    return selectPoint(engine->db, found->second);
}

int Index::freeSelectsample(RequireSample* sample) {
    std::free(sample->data);
    sample->data = nullptr;
    sample->length = 0;
    return 0;
}

std::vector<std::pair<float, int>> Index::Search(const float* query, int k) {
    std::vector<std::pair<float, int>> result;
    if (mode == DISABLED || k <= 0) return result;
    if (mode == MATRIX) {
        // Only rows that hold a sample take part: unused rows are no samples.
        Engine& e = *engine;
        cv::Mat used = e.db.rowRange(0, e.cur_element_count);
        std::vector<std::pair<float, int>> rows;
        if (space == L2)
            rows = searchKnnCloserFirstL2(used, query, k);
        else if (space == L1)
            rows = searchKnnCloserFirstL1(used, query, k);
        else
            rows = searchKnnCloserFirstIP(used, query, k);
        result.reserve(rows.size());
        for (const auto& hit : rows) result.emplace_back(hit.first, e.db_rows[static_cast<size_t>(hit.second)]);
        return result;
    }
    // The exhaustive engine reads k stored vectors before it compares, stored
    // or not: never ask it for more than it holds.
    const size_t stored = engine->exhaustive ? engine->exhaustive->cur_element_count
                                             : engine->graph->cur_element_count;
    const size_t wanted = std::min(static_cast<size_t>(k), stored);
    if (wanted == 0) return result;
    query = engine->stored_form(query, dim);
    if (mode == BF_SORTED || mode == HNSW_SORTED) {
        auto hits = mode == BF_SORTED ? engine->exhaustive->nearest(query, wanted)
                                      : engine->alg->searchKnnCloserFirst(query, wanted);
        if (mode == HNSW_SORTED) std::sort(hits.begin(), hits.end());
        result.reserve(hits.size());
        for (const auto& hit : hits) result.emplace_back(hit.first, static_cast<int>(hit.second));
    } else {
        auto queue = engine->alg->searchKnn(query, wanted);
        result.reserve(queue.size());
        for (; !queue.empty(); queue.pop())
            result.emplace_back(queue.top().first, static_cast<int>(queue.top().second));
    }
    return result;
}

void Index::saveIndex(const std::string& path) {
    if (uses_exhaustive(mode)) engine->exhaustive->saveIndex(path);
}

int Index::loadIndex(const std::string& path) {
    if (uses_exhaustive(mode)) {
        engine->exhaustive->load(path);
    } else if (uses_graph(mode)) {
        // A fresh engine: hnswlib's loader leaks the storage of a used one.
        std::unique_ptr<Graph> loaded(new Graph(engine->space.get(), path, false, static_cast<size_t>(max_elements)));
        engine->graph = std::move(loaded);
        engine->alg = engine->graph.get();
    }
    return 0;
}

size_t Index::get_data_size() const {
    if (mode == DISABLED || mode == MATRIX) return 4;
    return sizeof(float) * static_cast<size_t>(dim);
}

int Index::get_max_elements() const {
    if (engine->exhaustive) return static_cast<int>(engine->exhaustive->maxelements_);
    if (engine->graph) return static_cast<int>(engine->graph->max_elements_);
    return max_elements;
}

int Index::get_cur_element_count() const {
    if (engine->exhaustive) return static_cast<int>(engine->exhaustive->cur_element_count);
    if (engine->graph) return static_cast<int>(engine->graph->cur_element_count);
    return engine->cur_element_count;
}

}  // namespace libhnsw
