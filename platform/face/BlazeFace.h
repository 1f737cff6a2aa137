#pragma once

#include "platform/Result.h"

#include <array>
#include <filesystem>
#include <opencv2/core.hpp>
#include <vector>

// MediaPipe's BlazeFace for front cameras (128 x 128, 896 anchors) run by
// OpenCV's DNN: the faces of a whole frame in one small pass, which finds
// faces in dim and noisy frames where HOG finds none.
namespace tarvo::platform::BlazeFace {

struct Face {
    cv::Rect2f box; // in the frame's pixels
    float score = 0;
    // In the frame's pixels: the eye on the image's left, the other eye,
    // the nose tip, the mouth's centre, and the two ears.
    std::array<cv::Point2f, 6> keypoints;
};

// Loads the network once per path; fails with the reason it can't be read.
Result<void> load(const std::filesystem::path& model);
// The faces in a BGR frame, most certain first; fails when no network was
// ever loaded. A released network is loaded again from its path.
Result<std::vector<Face>> find(const cv::Mat& frame);
// Frees the network; an analysis under way keeps it until it is done.
void release();

} // namespace tarvo::platform::BlazeFace
