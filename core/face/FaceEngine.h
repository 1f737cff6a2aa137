#pragma once

#include "core/base/KindedError.h"
#include "core/store/Descriptor.h"
#include "platform/face/FaceDetector.h"
#include "platform/face/VideoSource.h"

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// One frame to one measured face: exactly one face, its landmarks, pose and
// eye openness, and (when asked) its descriptor; and the one distance by
// which the whole system compares faces.
namespace tarvo::FaceEngine {

using Image = platform::Image;
using Observation = platform::FaceDetector::Observation;

// Degrees, in the detector's sign conventions.
struct Pose {
    std::optional<double> yaw, pitch, roll;
    // Each angle from `rectangles` if it has one, else from `landmarks`.
    static Pose from(const Observation& landmarks, const Observation& rectangles);
};

struct Detection {
    Observation observation;
    double eyeAspectRatio = 0; // mean openness of the eyes; 0 when unmeasurable
    std::optional<Descriptor> descriptor;
    Pose pose;
};

enum class EngineErrorKind { noFace, multipleFaces, detectorFailed, embeddingFailed };
class EngineError : public KindedError<EngineErrorKind> {
  public:
    using KindedError::KindedError;
    static EngineError multipleFaces(int count) {
        return {Kind::multipleFaces, std::to_string(count) + " faces in frame, need exactly one"};
    }
    static EngineError noFace() { return {Kind::noFace, "no face in frame"}; }
    static EngineError detectorFailed(const std::string& reason) {
        return {Kind::detectorFailed, reason};
    }
    static EngineError embeddingFailed() {
        return {Kind::embeddingFailed, "could not compute a face embedding"};
    }
};

// Loads the detector's and the embedder's models ahead of the first frame;
// a model that can't be loaded shows up again at analysis.
void prepare();
// Frees the models (the landmark model alone is about a hundred
// megabytes) and hands the memory back to the system; the next analysis
// loads them again. Analyses under way finish with the models they hold.
void release();

// Which search finds faces: "BlazeFace", or "HOG" (with why not BlazeFace),
// or "failed: " and why it can't run (known once prepare() has run).
std::string search();

// Throws EngineError (detectorFailed with the detector's reason) and, with a
// descriptor, FaceEmbedder::EmbedError unchanged.
// A tracker follows one stream's face from frame to frame (see the
// detector); without one, every frame is searched whole.
Detection analyze(const Image& image, bool wantDescriptor,
                  platform::FaceDetector::Tracker* tracker = nullptr);

// The cosine distance from the probe to the closest sample of its length;
// nothing when no sample is comparable.
std::optional<float> distance(const Descriptor& probe, const std::vector<Descriptor>& samples);

double eyeAspectRatio(const Observation& face);

} // namespace tarvo::FaceEngine
