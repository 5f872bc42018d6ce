#pragma once
// The engine step shared by recognition and folder learning.
#include <opencv2/core.hpp>

#include <vector>

// Runs the engine on an 8-bit BGR picture, creating the engine first when there
// is none: the ten class scores are appended to `scores`, 160 values written to
// `feature`. 0; -1 when the engine cannot be created; -2 when it fails.
int detect_squeezenet(const cv::Mat& picture, std::vector<float>& scores, float* feature);
