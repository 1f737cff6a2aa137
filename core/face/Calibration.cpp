#include "core/face/Calibration.h"

#include "core/store/Config.h"
#include "core/store/Enrollment.h"

#include <algorithm>
#include <optional>

namespace tarvo::Calibration {
namespace {

std::optional<float> pairDistance(const Sample& x, const Sample& y) {
    const auto &a = x.descriptor.vector, &b = y.descriptor.vector;
    if (a.empty() || a.size() != b.size()) return std::nullopt;
    return FaceEngine::distance(x.descriptor, {y.descriptor});
}

float largest(const std::vector<float>& values) {
    return values.empty() ? 0.0f : *std::max_element(values.begin(), values.end());
}

} // namespace

double openEyeAspectRatio(const std::vector<Sample>& samples) {
    std::vector<double> ratios;
    for (const auto& s : samples)
        if (s.eyeAspectRatio > 0) ratios.push_back(s.eyeAspectRatio);
    if (ratios.empty()) return 0.0;
    std::sort(ratios.begin(), ratios.end());
    return ratios[ratios.size() / 2];
}

Sample Sample::from(const FaceEngine::Detection& detection) {
    if (!detection.descriptor) throw FaceEngine::EngineError::embeddingFailed();
    return {*detection.descriptor, detection.eyeAspectRatio};
}

Result commit(const std::vector<std::vector<Sample>>& poses, const std::string& name) {
    std::vector<Sample> all;
    for (const auto& pose : poses)
        all.insert(all.end(), pose.begin(), pose.end());
    auto n = static_cast<std::int64_t>(all.size());
    if (n < minimumSamples) throw CalibrationError::tooFewSamples(n);

    std::vector<float> same, cross;
    for (const auto& pose : poses)
        for (size_t i = 0; i < pose.size(); ++i)
            for (size_t j = i + 1; j < pose.size(); ++j)
                if (auto d = pairDistance(pose[i], pose[j])) same.push_back(*d);
    for (size_t a = 0; a < poses.size(); ++a)
        for (size_t b = a + 1; b < poses.size(); ++b)
            for (const auto& x : poses[a])
                for (const auto& y : poses[b])
                    if (auto d = pairDistance(x, y)) cross.push_back(*d);

    Config config = Config::load();
    Result result;
    result.samples = n;
    result.openEyeAspectRatio = openEyeAspectRatio(all);
    result.threshold = Config::thresholdFor(config.sensitivity);

    std::vector<Descriptor> descriptors;
    for (const auto& s : all)
        descriptors.push_back(s.descriptor);
    Enrollment::add(name, descriptors);
    config.threshold = result.threshold;
    config.openEyeAspectRatio = result.openEyeAspectRatio;
    config.save();

    float sum = 0;
    for (float d : same)
        sum += d;
    result.noiseWorst = largest(same);
    result.noiseMean = same.empty() ? 0.0f : sum / static_cast<float>(same.size());
    result.coverageWorst = largest(cross);
    result.estimated = same.empty();
    return result;
}

Result commit(const std::vector<Sample>& samples, const std::string& name) {
    std::vector<std::vector<Sample>> poses;
    for (const auto& s : samples)
        poses.push_back({s});
    return commit(poses, name);
}

} // namespace tarvo::Calibration
