#include "support/alg.h"

#include <opencv2/imgproc.hpp>

#include <cmath>

float alg_tenengrad_blur_detect(const cv::Mat& picture) {
    if (picture.empty()) return 0.0f;
    cv::Mat grey, dx, dy, ax, ay;
    cv::cvtColor(picture, grey, cv::COLOR_BGR2GRAY);
    cv::Sobel(grey, dx, CV_16S, 1, 0, 3, 1, 0);
    cv::Sobel(grey, dy, CV_16S, 0, 1, 3, 1, 0);
    cv::convertScaleAbs(dx, ax, 1, 0);
    cv::convertScaleAbs(dy, ay, 1, 0);
    float sum = 0.0f;
    for (int r = 0; r < ax.rows; ++r) {
        const uchar* px = ax.ptr<uchar>(r);
        const uchar* py = ay.ptr<uchar>(r);
        for (int c = 0; c < ax.cols; ++c) {
            float gx = px[c] / 255.0f;
            float gy = py[c] / 255.0f;
            sum += gx * gx + gy * gy;
        }
    }
    return 100.0f * sum / static_cast<float>(picture.rows * picture.cols);
}

int alg_max(const float* values, int count, int* index, float* maximum) {
    *maximum = values[0];
    *index = 0;
    for (int i = 0; i < count; ++i) {
        if (values[i] > *maximum) {
            *maximum = values[i];
            *index = i;
        }
    }
    return 0;
}

float alg_calcul_similar(const float* a, const float* b, int n) {
    if (n < 1) return 0.0f;
    double dot = 0.0, na = 0.0, nb = 0.0;
    for (int i = 0; i < n; ++i) {
        dot += a[i] * b[i];
        na += a[i] * a[i];
        nb += b[i] * b[i];
    }
    if (na == 0.0 || nb == 0.0) return 0.0f;
    return static_cast<float>(((dot / std::sqrt(na)) / std::sqrt(nb) + 1.0) * 0.5);
}

bool alg_all_finite(const float* values, int count) {
    for (int i = 0; i < count; ++i)
        if (!std::isfinite(values[i])) return false;
    return true;
}
