#pragma once

#include "core/face/FaceEngine.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

// The samples of a guided enrollment become a stored face and personal
// settings (open-eye ratio and threshold), with figures on how consistent
// the enrollment was.
namespace tarvo::Calibration {

inline constexpr std::int64_t minimumSamples = 3;

struct Sample {
    Descriptor descriptor;
    double eyeAspectRatio = 0;
    // Throws FaceEngine::EngineError::embeddingFailed without a descriptor.
    static Sample from(const FaceEngine::Detection& detection);
};

struct Result {
    std::int64_t samples = 0;
    float noiseWorst = 0;    // largest same-pose distance
    float noiseMean = 0;     // mean same-pose distance
    float coverageWorst = 0; // largest cross-pose distance
    float threshold = 0;
    double openEyeAspectRatio = 0;
    bool estimated = false; // no same-pose pair: the noise is not measured
};

class CalibrationError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
    static CalibrationError tooFewSamples(std::int64_t count) {
        return CalibrationError("only captured " + std::to_string(count) +
                                " samples, need at least " + std::to_string(minimumSamples));
    }
};

// The open-eye aspect ratio a scan compares with: the samples' median.
double openEyeAspectRatio(const std::vector<Sample>& samples);

// Samples grouped by pose, in capture order. Stores the face under `name`
// and saves the settings; their errors pass through.
Result commit(const std::vector<std::vector<Sample>>& poses, const std::string& name);
// Every sample a pose of its own.
Result commit(const std::vector<Sample>& samples, const std::string& name);

} // namespace tarvo::Calibration
