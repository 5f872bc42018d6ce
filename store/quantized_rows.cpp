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
    if (std::isfinite(coded.error)) largest_error_ = std::max(largest_error_, static_cast<double>(coded.error));
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
// has them (SSE2 on every x86-64, 16-value ones in the AVX2 clone below).
template <size_t N>
inline int32_t dot_of(const int16_t* query, const int8_t* row) {
    int32_t sum = 0;
    for (size_t i = 0; i < N; ++i) sum += static_cast<int32_t>(query[i]) * static_cast<int32_t>(static_cast<int16_t>(row[i]));
    return sum;
}

inline int32_t dot_any(const int16_t* query, const int8_t* row, size_t width) {
    if (width == 160) return dot_of<160>(query, row);
    int32_t sum = 0;
    for (size_t i = 0; i < width; ++i) sum += static_cast<int32_t>(query[i]) * static_cast<int32_t>(row[i]);
    return sum;
}

// What one pass over the rows needs of the query and of the store.
struct Scan {
    const int16_t* query;
    double ys, yy, y_error;
    double largest_error;  // of every row the store has held: a bound of each row's error
    size_t k;
};

// The k smallest a^2 of the bounded rows so far (a max-heap), and the
// threshold they give: with the largest row error m, each a + m bounds its
// row's distance from above, so the k-th smallest a + m serves as T.
class Threshold {
public:
    explicit Threshold(const Scan& scan) : scan_(scan) {}
    // Infinite until k rows are bounded.
    double limit() const { return limit_; }
    size_t bounded() const { return smallest_.size(); }
    void offer(double squared) {
        if (smallest_.size() == scan_.k && !(squared < smallest_.top())) return;
        if (smallest_.size() == scan_.k) smallest_.pop();
        smallest_.push(squared);
        if (smallest_.size() < scan_.k) return;
        limit_ = (std::sqrt(std::max(0.0, smallest_.top())) + scan_.largest_error + scan_.y_error) *
                     (1.0 + QuantizedRows::kSlack) +
                 1e-6;
    }

private:
    const Scan& scan_;
    std::priority_queue<double> smallest_;
    double limit_ = std::numeric_limits<double>::infinity();
};

// One pass: a^2 of every row, and the rows whose lower bound a - e - e_y does
// not exceed the threshold as it stands when the row is read. The threshold
// only falls, so a row dropped here is dropped by the final one too; the rows
// kept are checked against the final threshold by the caller. The pass reads
// every coded row once: reading them, not the arithmetic, is what it costs,
// so the rows are not kept in a second array for a second pass.
inline __attribute__((always_inline)) void scan_rows_body(const Scan& scan, const int8_t* bytes, const float* scale,
                                                         const float* error, const int32_t* norm, size_t width,
                                                         size_t count, Threshold& threshold,
                                                         std::vector<std::pair<size_t, double>>& kept) {
    for (size_t row = 0; row < count; ++row) {
        const double s = scale[row];
        const double dot = width == 160 ? dot_of<160>(scan.query, bytes + row * 160)
                                        : dot_any(scan.query, bytes + row * width, width);
        const double squared = scan.yy + s * s * norm[row] - 2.0 * scan.ys * s * dot;
        const bool finite = std::isfinite(error[row]);  // a non-finite row never bounds and is always kept
        const double reach = threshold.limit() + static_cast<double>(error[row]) + scan.y_error;
        if (finite && squared > reach * reach) continue;
        kept.emplace_back(row, squared);
        if (finite) threshold.offer(squared);
    }
}

// The AVX2 version is chosen by a test made once, not by an ifunc (a
// `target_clones` resolver runs while the program is being relocated, before
// a sanitizer's runtime is ready, and crashed every ThreadSanitizer build).
#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("avx2"))) void scan_rows_avx2(const Scan& scan, const int8_t* bytes, const float* scale,
                                                     const float* error, const int32_t* norm, size_t width,
                                                     size_t count, Threshold& threshold,
                                                     std::vector<std::pair<size_t, double>>& kept) {
    scan_rows_body(scan, bytes, scale, error, norm, width, count, threshold, kept);
}
#endif

void scan_rows(const Scan& scan, const int8_t* bytes, const float* scale, const float* error, const int32_t* norm,
               size_t width, size_t count, Threshold& threshold, std::vector<std::pair<size_t, double>>& kept) {
#if defined(__x86_64__) && defined(__GNUC__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2) return scan_rows_avx2(scan, bytes, scale, error, norm, width, count, threshold, kept);
#endif
    scan_rows_body(scan, bytes, scale, error, norm, width, count, threshold, kept);
}

}  // namespace

std::vector<QuantizedRows::Candidate> QuantizedRows::candidates(const float* query, size_t count, size_t k) const {
    count = std::min(count, rows());
    std::vector<Candidate> chosen;
    std::vector<int8_t> coded_query(width_);
    const Coded y = code(query, coded_query.data());
    const std::vector<int16_t> wide_query(coded_query.begin(), coded_query.end());
    auto every_row = [&] {
        chosen.resize(count);
        for (size_t row = 0; row < count; ++row) chosen[row] = {row, 0.0};
        return chosen;
    };
    if (k == 0 || count <= k || !std::isfinite(y.error)) return every_row();
    const Scan scan{wide_query.data(), y.scale, static_cast<double>(y.scale) * y.scale * y.norm, y.error,
                    largest_error_, k};
    Threshold threshold(scan);
    std::vector<std::pair<size_t, double>> kept;
    kept.reserve(4 * k + 64);
    scan_rows(scan, bytes_.data(), scale_.data(), error_.data(), norm_.data(), width_, count, threshold, kept);
    // Squared distances past the float range are all infinite to the exact
    // search, where only the labels order them: a row far beyond the bound
    // can then rank before one within it.
    const double limit = threshold.limit();
    if (threshold.bounded() < k || !(limit * limit < 0.5 * std::numeric_limits<float>::max())) return every_row();
    // a - e - e_y <= limit, squared on both sides.
    for (const auto& [row, squared] : kept) {
        const double margin = static_cast<double>(error_[row]) + y.error;
        const double reach = threshold.limit() + margin;
        if (squared > reach * reach) continue;
        // A row without a finite error has no bound.
        const double lower = std::isfinite(margin) ? std::sqrt(std::max(0.0, squared)) - margin : 0.0;
        chosen.push_back({row, std::max(0.0, lower)});
    }
    return chosen;
}
