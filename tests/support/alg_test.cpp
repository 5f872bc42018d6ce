#include "support/alg.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

TEST(Similarity, MapsCosineToZeroOne) {
    const float a[] = {1, 2, 3};
    const float neg[] = {-1, -2, -3};
    const float zero[] = {0, 0, 0};
    EXPECT_NEAR(alg_calcul_similar(a, a, 3), 1.0f, 1e-6);
    EXPECT_NEAR(alg_calcul_similar(a, neg, 3), 0.0f, 1e-6);
    EXPECT_EQ(alg_calcul_similar(a, zero, 3), 0.0f);
    EXPECT_EQ(alg_calcul_similar(a, a, 0), 0.0f);
    const float x[] = {1, 0};
    const float y[] = {0, 1};
    EXPECT_NEAR(alg_calcul_similar(x, y, 2), 0.5f, 1e-6);
}

TEST(ArgMax, FirstOfEqualMaximaWins) {
    const float scores[] = {12.5f, 40.0f, 40.0f};
    int index = -1;
    float maximum = 0;
    EXPECT_EQ(alg_max(scores, 3, &index, &maximum), 0);
    EXPECT_EQ(index, 1);
    EXPECT_EQ(maximum, 40.0f);
}

TEST(Sharpness, UniformIsZeroAndEdgesCount) {
    cv::Mat grey(40, 40, CV_8UC3, cv::Scalar(128, 128, 128));
    EXPECT_EQ(alg_tenengrad_blur_detect(grey), 0.0f);

    // A one-pixel step of 1 grey level: each of the two edge columns gets a
    // horizontal derivative of 4, i.e. (4/255)^2 per pixel.
    cv::Mat step(10, 10, CV_8UC3, cv::Scalar(0, 0, 0));
    step(cv::Rect(5, 0, 5, 10)).setTo(cv::Scalar(1, 1, 1));
    float expected = 100.0f * 2 * 10 * (4.0f / 255) * (4.0f / 255) / 100.0f;
    EXPECT_NEAR(alg_tenengrad_blur_detect(step), expected, 1e-6);

    cv::Mat sharp(40, 40, CV_8UC3);
    cv::randu(sharp, cv::Scalar(100, 100, 100), cv::Scalar(140, 140, 140));
    cv::Mat blurred;
    cv::GaussianBlur(sharp, blurred, cv::Size(5, 5), 1.5);
    EXPECT_GT(alg_tenengrad_blur_detect(sharp), alg_tenengrad_blur_detect(blurred));
}
