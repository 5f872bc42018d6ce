#pragma once
// A coarse copy of the exhaustive index's vectors, one signed byte per value,
// that narrows a search to the few stored vectors that can be among the k
// nearest before their exact distances are computed.
//
// Each stored vector x is kept as s * q (q bytes, s its scale) with e, an upper
// bound of |x - s q|. The query y is coded the same way (s_y, q_y, e_y). By the
// triangle inequality the true distance d = |y - x| lies within
//     a - e - e_y  <=  d  <=  a + e + e_y,   a = |s_y q_y - s q|,
// and a is exact arithmetic on integers and scales. Let T be the k-th smallest
// upper bound: k vectors lie within T, so the k-th nearest distance is at most
// T, and a vector whose lower bound exceeds T cannot be among the k nearest.
// The exact distances (the index's own function, to the bit) then rank the
// rest; kSlack covers the rounding of both computations with a wide margin.
#include "store/huge_page_buffer.h"

#include <cstddef>
#include <cstdint>
#include <vector>

class QuantizedRows {
public:
    explicit QuantizedRows(size_t width) : width_(width) {}

    // Codes row `row` from `values` (width_ floats), growing to hold it.
    void set(size_t row, const float* values);
    // Row `from` takes row `to`'s place (the index moved its last vector).
    void move(size_t from, size_t to);
    // Keeps rows [0, count).
    void keep(size_t count);
    size_t rows() const { return scale_.size(); }
    size_t width() const { return width_; }

    // A row that may be among the k nearest, with a lower bound of its
    // distance (not squared) to the query.
    struct Candidate {
        size_t row;
        double lower;
    };
    // Rows among [0, count) that may be among the k nearest to `query`, in row
    // order; every row (with a lower bound of 0) when the query cannot be
    // coded (non-finite values).
    std::vector<Candidate> candidates(const float* query, size_t count, size_t k) const;

    static constexpr double kSlack = 1e-3;

private:
    struct Coded {
        float scale = 0.0f;
        float error = 0.0f;  // upper bound of |x - scale * q|; infinite for a non-finite x
        int32_t norm = 0;    // |q|^2
    };
    Coded code(const float* values, int8_t* out) const;

    size_t width_;
    std::vector<int8_t, HugePageAllocator<int8_t>> bytes_;
    std::vector<float> scale_, error_;
    std::vector<int32_t> norm_;
    // The largest finite error of any row ever coded: it may exceed the
    // largest of the rows held now, which only loosens the threshold.
    double largest_error_ = 0.0;
};
