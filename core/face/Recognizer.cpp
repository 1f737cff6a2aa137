#include "core/face/Recognizer.h"

#include "core/face/FaceEmbedder.h"

#include <algorithm>
#include <cstdio>
#include <limits>

namespace tarvo {
namespace {

template <typename... Args> std::string format(const char* pattern, Args... args) {
    char text[128];
    std::snprintf(text, sizeof text, pattern, args...);
    return text;
}

// Counters saturate rather than overflow.
void increment(std::int64_t& counter) {
    if (counter < std::numeric_limits<std::int64_t>::max()) ++counter;
}

} // namespace

Recognizer::Recognizer(Config config, std::vector<Descriptor> enrolled, Analyze analyze)
    : config_(std::move(config)), enrolled_(std::move(enrolled)),
      analyze_(analyze
                   ? std::move(analyze)
                   // A scan is one stream of frames: its face is tracked.
                   : [tracker = std::make_shared<platform::FaceDetector::Tracker>()](
                         const FaceEngine::Image&
                             frame) { return FaceEngine::analyze(frame, true, tracker.get()); }),
      bestDistance_(std::numeric_limits<float>::max()), blinkPhase_(startingPhase()) {}

Recognizer::BlinkPhase Recognizer::startingPhase() const {
    return config_.liveness == Config::Liveness::blink ? BlinkPhase::needOpen : BlinkPhase::done;
}

void Recognizer::reset() {
    clearRuns();
    bestDistance_ = std::numeric_limits<float>::max();
    compared_.clear();
    sawSeveralFaces_ = false;
    framesSeen_ = 0;
    baselineEAR_ = 0;
    blinkPhase_ = startingPhase();
}

void Recognizer::clearRuns() {
    recent_.clear();
    consecutiveMatches_ = consecutiveNonMatches_ = consecutiveFarNonMatches_ = 0;
}

void Recognizer::updateBlink(double ear) {
    if (ear <= 0) return;
    baselineEAR_ = std::max(baselineEAR_, ear);
    if (baselineEAR_ <= 0) return;
    double open = baselineEAR_ * 0.8, closed = baselineEAR_ * 0.6;
    switch (blinkPhase_) {
    case BlinkPhase::needOpen:
        if (ear >= open) blinkPhase_ = BlinkPhase::needClosed;
        break;
    case BlinkPhase::needClosed:
        if (ear <= closed) blinkPhase_ = BlinkPhase::needReopen;
        break;
    case BlinkPhase::needReopen:
        if (ear >= open) blinkPhase_ = BlinkPhase::done;
        break;
    case BlinkPhase::done:
        break;
    }
}

Descriptor Recognizer::averaged(const Descriptor& latest) {
    if (!recent_.empty() && recent_.back().vector.size() != latest.vector.size()) recent_.clear();
    recent_.push_back(latest);
    while (recent_.size() > averagedFrames)
        recent_.pop_front();
    Descriptor mean{std::vector<float>(latest.vector.size(), 0.0f)};
    for (const auto& descriptor : recent_)
        for (size_t i = 0; i < descriptor.vector.size(); ++i)
            mean.vector[i] += descriptor.vector[i];
    mean.vector = FaceEmbedder::normalized(std::move(mean.vector));
    return mean;
}

Recognizer::Outcome Recognizer::consider(const FaceEngine::Image& frame) {
    increment(framesSeen_);
    FaceEngine::Detection detection;
    try {
        detection = analyze_(frame);
    } catch (const FaceEngine::EngineError& error) {
        clearRuns();
        using Kind = FaceEngine::EngineErrorKind;
        sawSeveralFaces_ = sawSeveralFaces_ || error.kind() == Kind::multipleFaces;
        return Searching{error.kind() == Kind::noFace          ? Reason::noFace
                         : error.kind() == Kind::multipleFaces ? Reason::severalFaces
                                                               : Reason::unclear,
                         error.what()};
    } catch (const std::exception& error) {
        clearRuns();
        return Searching{Reason::unclear, error.what()};
    }
    double ear = detection.eyeAspectRatio;
    updateBlink(ear);

    std::optional<float> distance;
    if (detection.descriptor)
        distance = FaceEngine::distance(averaged(*detection.descriptor), enrolled_);
    if (!distance) {
        clearRuns();
        return Searching{Reason::unclear, "no comparable descriptor"};
    }
    float d = *distance;
    if (config_.openEyeAspectRatio > 0 && ear < config_.openEyeAspectRatio * 0.5) {
        clearRuns();
        return Searching{Reason::eyesClosed, "face seen, eyes closed or looking away"};
    }
    if (compared_.size() != detection.descriptor->vector.size())
        compared_.assign(detection.descriptor->vector.size(), 0.0);
    for (size_t i = 0; i < compared_.size(); ++i)
        compared_[i] += detection.descriptor->vector[i];
    bestDistance_ = std::min(bestDistance_, d);

    if (d <= config_.threshold) {
        consecutiveNonMatches_ = consecutiveFarNonMatches_ = 0;
        increment(consecutiveMatches_);
        if (consecutiveMatches_ < config_.requiredFrames)
            return Searching{Reason::matching,
                             format("match %lld/%lld (distance %.3f)",
                                    static_cast<long long>(consecutiveMatches_),
                                    static_cast<long long>(config_.requiredFrames), double(d))};
        if (blinkPhase_ != BlinkPhase::done)
            return Searching{
                Reason::waitingForBlink,
                format("recognized (distance %.3f) \xE2\x80\x94 waiting for a blink", double(d))};
        return Matched{bestDistance_, framesSeen_};
    }
    consecutiveMatches_ = 0;
    increment(consecutiveNonMatches_);
    if (d > config_.threshold * 1.5f)
        increment(consecutiveFarNonMatches_);
    else
        consecutiveFarNonMatches_ = 0;
    return Searching{Reason::someoneElse, format("face seen, distance %.3f > %.3f", double(d),
                                                 double(config_.threshold))};
}

std::optional<Learning::NearMiss> Recognizer::nearMiss() const {
    if (sawSeveralFaces_ || blinkPhase_ != BlinkPhase::done || compared_.empty())
        return std::nullopt;
    Descriptor mean{
        FaceEmbedder::normalized(std::vector<float>(compared_.begin(), compared_.end()))};
    auto distance = FaceEngine::distance(mean, enrolled_);
    if (!distance) return std::nullopt;
    return Learning::NearMiss{std::move(mean), *distance};
}

} // namespace tarvo
