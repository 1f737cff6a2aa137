#pragma once

#include "platform/face/FaceDetector.h"
#include "platform/face/VideoSource.h"

#include <array>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// A detected face to a unit-length descriptor: five landmark points fitted
// onto a fixed template by a similarity transform, a 112 x 112 aligned crop,
// the embedding model, unit length.
namespace tarvo::FaceEmbedder {

using Image = platform::Image;
using Observation = platform::FaceDetector::Observation;
using Point = platform::FaceDetector::Point;

class EmbedError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
    static EmbedError inferenceFailed(const std::string& reason) {
        return EmbedError("face model failed: " + reason);
    }
    static EmbedError modelMissing() {
        return EmbedError("face model not found in the installation");
    }
    // A model file was found but could not be loaded: its reason, kept.
    static EmbedError modelMissing(const std::string& reason) {
        return EmbedError("face model could not be loaded: " + reason);
    }
    static EmbedError landmarksMissing() {
        return EmbedError("could not locate eyes, nose and mouth");
    }
    static EmbedError alignmentFailed() { return EmbedError("could not align the face"); }
};

inline constexpr int cropSize = 112;
// Where the eyes, nose tip and mouth corners go in the crop (top-left origin).
inline constexpr std::array<Point, 5> templatePoints = {{{38.2946, 51.6963},
                                                         {73.5318, 51.5014},
                                                         {56.0252, 71.7366},
                                                         {41.5493, 92.3655},
                                                         {70.7299, 92.2041}}};

// The unit-length embedding of the face in the frame. Throws EmbedError.
std::vector<float> embed(const Image& image, const Observation& face);
// Loads the model and runs it once: the network's first inference sets it
// up and takes a few hundred milliseconds, which no scan should wait for.
void prepare();
// Frees the model; the next embedding loads it again.
void release();

// Eyes (left one first), nose tip, left and right mouth corner, in pixels
// with a top-left origin; nothing when a region is missing.
std::optional<std::array<Point, 5>> fivePoints(const Observation& face, int width, int height);

// x' = a x - b y + tx, y' = b x + a y + ty: the least-squares rotation,
// uniform scale and translation from one point set onto another.
struct Similarity {
    double a = 1, b = 0, tx = 0, ty = 0;
};
std::optional<Similarity> similarityTransform(const std::vector<Point>& from,
                                              const std::vector<Point>& to);

// The 112 x 112 aligned crop. Throws landmarksMissing or alignmentFailed.
Image alignedCrop(const Image& image, const Observation& face);

// Scaled to unit length; empty or near-zero vectors come back unchanged.
std::vector<float> normalized(std::vector<float> vector);

} // namespace tarvo::FaceEmbedder
