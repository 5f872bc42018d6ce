#pragma once
// The library's numeric helpers: sharpness of a tray picture, arg-max, and the
// similarity that filters matches.
#include <opencv2/core.hpp>

// Tenengrad gradient energy of a BGR picture, 0..200; larger is sharper.
float alg_tenengrad_blur_detect(const cv::Mat& picture);
// Index and value of the first largest of `count` values; always 0.
int alg_max(const float* values, int count, int* index, float* maximum);
// Cosine similarity of two vectors mapped to 0..1 (0 when either is zero or n < 1).
float alg_calcul_similar(const float* a, const float* b, int n);
// Whether every one of `count` values is a finite number (no NaN, no infinity).
bool alg_all_finite(const float* values, int count);
