#pragma once

#include "platform/Result.h"

#include <filesystem>
#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <vector>

// Faces, landmarks and head pose in one frame: a whole-frame search
// (BlazeFace, or dlib's HOG frontal face detector), dlib's 68-point shape
// predictor on each face, pose from the landmarks with
// OpenCV. The results follow the conventions the face engine expects of a
// platform face detector: boxes normalised to the image and points
// normalised to the box, both with the origin at the bottom-left.
namespace tarvo::platform::FaceDetector {

struct Point {
    double x = 0, y = 0;
};

struct Region {
    std::vector<Point> normalizedPoints; // relative to the face box, 0...1, y up
};

struct Landmarks {
    // Eye contours: the eye on the image's left (points 36-41) and right
    // (42-47). The nose is the bridge down to the tip (27-30), so
    // its lowest point is the tip, not the nostrils. Outer lips: 48-59.
    std::optional<Region> leftEye, rightEye, nose, outerLips;
};

struct Observation {
    // The face box, normalised to the image, origin bottom-left.
    double x = 0, y = 0, width = 0, height = 0;
    std::optional<Landmarks> landmarks;
    // Radians, from a generic 3-D face fitted to the landmarks, as rotations
    // about the camera's axes (x right, y down, z forward; R = Rz Ry Rx).
    // Yaw > 0: the face turns towards the image's left (the person looks to
    // their own right). Pitch > 0: the chin comes up. Roll > 0: the head
    // leans towards the image's right. Zero for each looking straight in.
    std::optional<double> yaw, pitch, roll;

    // A region's points in pixels, origin at the bottom-left.
    std::vector<Point> pointsInImage(const Region& region, int width, int height) const;
};

// Where one detect() spent its time, for benchmarks.
struct Timings {
    double detectMs = 0, landmarksMs = 0, poseMs = 0;
};

// Follows the face of one stream of frames (one scan, one preview), so that
// most frames are searched only around where the face just was, at a scale
// that makes it about 110 pixels wide: the whole frame is searched every
// `fullScanEvery` frames, whenever the face is lost, when the frame size
// changes and while there isn't exactly one face. Someone who comes into
// view away from the face is found by the next whole-frame search.
class Tracker {
  public:
    static constexpr int fullScanEvery = 5;

  private:
    friend Result<std::vector<Observation>> detect(const cv::Mat&, Timings*, Tracker*);
    std::optional<cv::Rect> face_;
    cv::Size size_;
    int sinceFullScan_ = 0;
};

// Every face found in a BGR frame, each with landmarks and pose; with a
// tracker, as the tracker allows. Fails when the landmark model can't be
// loaded.
Result<std::vector<Observation>> detect(const cv::Mat& frame, Timings* timings = nullptr,
                                        Tracker* tracker = nullptr);

// The whole-frame search: BlazeFace from the model given, or dlib's HOG
// (the default). Fails, keeping the search as it was, when the model can't
// be loaded.
Result<void> useSearchModel(const std::filesystem::path& model);
void useHogSearch();

// Loads the landmark model now rather than at the first face (about a
// second). Fails as detect() does.
Result<void> prepare();
// Frees the models; the next detect() loads them again.
void release();

// Where the 68-point model is read from: TARVO_LANDMARKS, else Debian's
// libdlib-data file.
std::string landmarkModelPath();

} // namespace tarvo::platform::FaceDetector
