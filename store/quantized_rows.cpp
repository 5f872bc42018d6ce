#include "store/quantized_rows.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <queue>

void QuantizedRows::set(size_t row, const float* values) {
    if (row >= rows()) {
        bytes_.resize((row + 1) * width_);
        scale_.resize(row + 1);
        error_.resize(row + 1);
        norm_.resize(row + 1);
    }
    const Coded coded = code(values, &bytes_[row * width_]);
    scale_[row] = coded.scale;
    error_[row] = coded.error;
    norm_[row] = coded.norm;
}

void QuantizedRows::move(size_t from, size_t to) {
    if (from >= rows() || to >= rows()) return;
    std::copy_n(&bytes_[from * width_], width_, &bytes_[to * width_]);
    scale_[to] = scale_[from];
    error_[to] = error_[from];
    norm_[to] = norm_[from];
}

void QuantizedRows::keep(size_t count) {
    if (count >= rows()) return;
    bytes_.resize(count * width_);
    scale_.resize(count);
    error_.resize(count);
    norm_.resize(count);
}

QuantizedRows::Coded QuantizedRows::code(const float* values, int8_t* out) const {
    Coded coded;
    double largest = 0.0;
    for (size_t i = 0; i < width_; ++i) {
        if (!std::isfinite(values[i])) {
            std::fill_n(out, width_, int8_t{0});
            coded.error = std::numeric_limits<float>::infinity();  // always re-ranked exactly
            return coded;
        }
        largest = std::max(largest, std::fabs(static_cast<double>(values[i])));
    }
    const float scale = static_cast<float>(largest / 127.0);
    double residual = 0.0;
    for (size_t i = 0; i < width_; ++i) {
        const long q = scale > 0.0f ? std::lround(values[i] / static_cast<double>(scale)) : 0;
        out[i] = static_cast<int8_t>(std::max(-127L, std::min(127L, q)));
        const double left = static_cast<double>(values[i]) - static_cast<double>(scale) * out[i];
        residual += left * left;
        coded.norm += out[i] * out[i];
    }
    coded.scale = scale;
    // Rounded up: the bound must hold as a float too.
    coded.error = std::nextafter(static_cast<float>(std::sqrt(residual) * (1.0 + 1e-6)),
                                 std::numeric_limits<float>::infinity());
    return coded;
}

namespace {

// The query's bytes widened once, the row's as they are read, and a fixed
// count: the compiler makes 8-value multiply-adds of the loop where the target
// has them (SSE2 on every x86-64).
template <size_t N>
int32_t dot_of(const int16_t* query, const int8_t* row) {
    int32_t sum = 0;
    for (size_t i = 0; i < N; ++i) sum += static_cast<int32_t>(query[i]) * static_cast<int32_t>(static_cast<int16_t>(row[i]));
    return sum;
}

}  // namespace

int32_t QuantizedRows::dot(const int16_t* query, const int8_t* row) const {
    if (width_ == 160) return dot_of<160>(query, row);
    int32_t sum = 0;
    for (size_t i = 0; i < width_; ++i) sum += static_cast<int32_t>(query[i]) * static_cast<int32_t>(row[i]);
    return sum;
}

std::vector<size_t> QuantizedRows::candidates(const float* query, size_t count, size_t k) const {
    count = std::min(count, rows());
    std::vector<size_t> chosen;
    std::vector<int8_t> coded_query(width_);
    const Coded y = code(query, coded_query.data());
    const std::vector<int16_t> wide_query(coded_query.begin(), coded_query.end());
    if (k == 0 || count <= k || !std::isfinite(y.error)) {
        chosen.resize(count);
        for (size_t row = 0; row < count; ++row) chosen[row] = row;
        return chosen;
    }
    // a^2 for every row, and the k smallest of them (a max-heap). With the
    // largest row error m, each a + m bounds its row's distance from above, so
    // the k-th smallest a + m serves as T without a square root per row.
    std::vector<double> squared(count);
    std::priority_queue<double> smallest;
    double largest_error = 0.0;
    size_t bounded = 0;
    const double ys = y.scale, yy = ys * ys * y.norm;
    for (size_t row = 0; row < count; ++row) {
        const double s = scale_[row];
        squared[row] = yy + s * s * norm_[row] - 2.0 * ys * s * dot(wide_query.data(), &bytes_[row * width_]);
        if (!std::isfinite(error_[row])) continue;  // never bounds, always a candidate
        ++bounded;
        largest_error = std::max(largest_error, static_cast<double>(error_[row]));
        if (smallest.size() < k) {
            smallest.push(squared[row]);
        } else if (squared[row] < smallest.top()) {
            smallest.pop();
            smallest.push(squared[row]);
        }
    }
    const double limit = bounded < k ? 0.0
                                     : (std::sqrt(std::max(0.0, smallest.top())) + largest_error + y.error) *
                                               (1.0 + kSlack) + 1e-6;
    // Squared distances past the float range are all infinite to the exact
    // search, where only the labels order them: a row far beyond the bound
    // can then rank before one within it.
    if (bounded < k || !(limit * limit < 0.5 * std::numeric_limits<float>::max())) {
        chosen.resize(count);
        for (size_t row = 0; row < count; ++row) chosen[row] = row;
        return chosen;
    }
    // a - e - e_y <= limit, squared on both sides.
    for (size_t row = 0; row < count; ++row) {
        const double reach = limit + static_cast<double>(error_[row]) + y.error;
        if (!(squared[row] > reach * reach)) chosen.push_back(row);
    }
    return chosen;
}
