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

// A fixed count lets the compiler turn the loop into multiply-adds of 8 or 16
// bytes at a time.
template <size_t N>
int32_t dot_of(const int8_t* a, const int8_t* b) {
    int32_t sum = 0;
    for (size_t i = 0; i < N; ++i) sum += static_cast<int32_t>(a[i]) * static_cast<int32_t>(b[i]);
    return sum;
}

}  // namespace

int32_t QuantizedRows::dot(const int8_t* a, const int8_t* b) const {
    if (width_ == 160) return dot_of<160>(a, b);
    int32_t sum = 0;
    for (size_t i = 0; i < width_; ++i) sum += static_cast<int32_t>(a[i]) * static_cast<int32_t>(b[i]);
    return sum;
}

std::vector<size_t> QuantizedRows::candidates(const float* query, size_t count, size_t k) const {
    count = std::min(count, rows());
    std::vector<size_t> chosen;
    std::vector<int8_t> coded_query(width_);
    const Coded y = code(query, coded_query.data());
    if (k == 0 || count <= k || !std::isfinite(y.error)) {
        chosen.resize(count);
        for (size_t row = 0; row < count; ++row) chosen[row] = row;
        return chosen;
    }
    // a - e for every row, and the k smallest a + e (a max-heap of them).
    std::vector<double> lower(count);
    std::priority_queue<double> upper;
    const double ys = y.scale, yy = ys * ys * y.norm;
    for (size_t row = 0; row < count; ++row) {
        const double s = scale_[row];
        const double squared = yy + s * s * norm_[row] - 2.0 * ys * s * dot(coded_query.data(), &bytes_[row * width_]);
        const double a = std::sqrt(std::max(0.0, squared));
        const double margin = static_cast<double>(error_[row]) + y.error;
        lower[row] = a - margin;
        const double high = a + margin;
        if (upper.size() < k) {
            upper.push(high);
        } else if (high < upper.top()) {
            upper.pop();
            upper.push(high);
        }
    }
    const double limit = upper.top() * (1.0 + kSlack) + 1e-6;
    for (size_t row = 0; row < count; ++row)
        if (!(lower[row] > limit)) chosen.push_back(row);
    return chosen;
}
