#include "store/opencv_matoperations.h"

#include <opencv2/core.hpp>

#include <algorithm>
#include <cstring>
#include <queue>

namespace libhnsw {

namespace {

// The k smallest (value, row) pairs of a column of values, ascending.
std::vector<std::pair<float, int>> smallest_k(const cv::Mat& values, int k) {
    std::vector<std::pair<float, int>> result;
    const int rows = values.rows;
    k = std::min(k, rows);
    if (k <= 0) return result;
    std::priority_queue<std::pair<float, int>> heap;
    for (int row = 0; row < k; ++row) heap.emplace(values.at<float>(row), row);
    for (int row = k; row < rows; ++row) {
        const float value = values.at<float>(row);
        if (value <= heap.top().first) {
            heap.emplace(value, row);
            if (static_cast<int>(heap.size()) > k) heap.pop();
        }
    }
    result.resize(heap.size());
    for (size_t i = result.size(); i-- > 0; heap.pop()) result[i] = heap.top();
    return result;
}

cv::Mat query_row(const float* query, int cols) {
    return cv::Mat(1, cols, CV_32F, const_cast<float*>(query));
}

}  // namespace

std::vector<std::pair<float, int>> searchKnnCloserFirstIP(const cv::Mat& db, const float* query, int k) {
    if (db.rows == 0) return {};
    cv::Mat dots = db * query_row(query, db.cols).t();  // rows x 1
    cv::Mat distances = 1.0 - dots;
    std::vector<std::pair<float, int>> result = smallest_k(distances, k);
    for (auto& hit : result) hit.first = 1.0f - hit.first;
    return result;
}

std::vector<std::pair<float, int>> searchKnnCloserFirstL2(const cv::Mat& db, const float* query, int k) {
    if (db.rows == 0) return {};
    cv::Mat repeated = cv::repeat(query_row(query, db.cols), db.rows, 1);
    cv::Mat diff = db - repeated;
    cv::Mat squared = diff.mul(diff);
    cv::Mat sums;
    cv::reduce(squared, sums, 1, cv::REDUCE_SUM, CV_32F);
    return smallest_k(sums, k);
}

std::vector<std::pair<float, int>> searchKnnCloserFirstL1(const cv::Mat& db, const float* query, int k) {
    if (db.rows == 0) return {};
    cv::Mat repeated = cv::repeat(query_row(query, db.cols), db.rows, 1);
    cv::Mat diff;
    cv::absdiff(db, repeated, diff);
    cv::Mat sums;
    cv::reduce(diff, sums, 1, cv::REDUCE_SUM, CV_32F);
    return smallest_k(sums, k);
}

void addPoint(cv::Mat& db, const float* v, int row) {
    std::memcpy(db.ptr<float>(row), v, sizeof(float) * static_cast<size_t>(db.cols));
}

void removePoint(cv::Mat& db, int row, int last) {
    if (row != last) db.row(last).copyTo(db.row(row));
    db.row(last).setTo(0.0f);
}

float* selectPoint(cv::Mat& db, int row) { return db.ptr<float>(row); }

cv::Mat float2mat(float* data, int rows, int cols) { return cv::Mat(rows, cols, CV_32F, data); }

}  // namespace libhnsw
