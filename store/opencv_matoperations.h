#pragma once
// Exhaustive nearest-neighbour search over one dense float matrix, one vector
// per row. Every search returns at most k (value, row) pairs, closest first;
// rows of equal value come in row order.
#include <opencv2/core.hpp>

#include <utility>
#include <vector>

namespace libhnsw {

// Value per row is the dot product with the query; largest dot product first.
std::vector<std::pair<float, int>> searchKnnCloserFirstIP(const cv::Mat& db, const float* query, int k);
// Value per row is the squared Euclidean distance to the query.
std::vector<std::pair<float, int>> searchKnnCloserFirstL2(const cv::Mat& db, const float* query, int k);
// Value per row is the sum of absolute differences to the query.
std::vector<std::pair<float, int>> searchKnnCloserFirstL1(const cv::Mat& db, const float* query, int k);

void addPoint(cv::Mat& db, const float* v, int row);
// Moves row `last` into `row` and zeroes row `last`.
void removePoint(cv::Mat& db, int row, int last);
float* selectPoint(cv::Mat& db, int row);
// Wraps `data` as a rows x cols float matrix without copying it.
cv::Mat float2mat(float* data, int rows, int cols);

}  // namespace libhnsw
