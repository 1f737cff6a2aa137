#pragma once

#include "core/face/FaceEngine.h"
#include "core/face/Learning.h"
#include "core/store/Config.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <variant>
#include <vector>

namespace tarvo {

// The per-scan decision: fed frames one at a time, it says whether the
// enrolled user is now recognised and, if not, why not. One thread drives
// one recognizer.
class Recognizer {
  public:
    // Why a frame didn't (yet) match, for callers to switch on; the text
    // says the same with figures, for a log.
    enum class Reason {
        noFace,
        severalFaces,
        unclear, // a face, but no descriptor to compare
        eyesClosed,
        matching, // within the threshold, not yet for enough frames
        waitingForBlink,
        someoneElse, // beyond the threshold
    };
    struct Searching {
        Reason reason;
        std::string text;
    };
    struct Matched {
        float distance = 0;
        std::int64_t frames = 0;
    };
    using Outcome = std::variant<Searching, Matched>;

    // How a frame is analysed; the face engine unless a test scripts it.
    using Analyze = std::function<FaceEngine::Detection(const FaceEngine::Image&)>;

    Recognizer(Config config, std::vector<Descriptor> enrolled, Analyze analyze = {});

    Outcome consider(const FaceEngine::Image& frame);
    void reset();
    // What the scan so far could teach if the user's password follows: the
    // mean of every descriptor it compared, which keeps what the room does
    // to the face and averages away each frame's noise; nothing once it saw
    // several faces at once, while a blink is still owed, or before a face
    // with open eyes was compared.
    std::optional<Learning::NearMiss> nearMiss() const;
    // Whether a face with open eyes was compared.
    bool sawFace() const { return !compared_.empty(); }

    // A scan stops early after this many frames in a row that don't match,
    // or this many in a row beyond 1.5 x the threshold: someone else.
    static constexpr std::int64_t giveUpNonMatches = 8;
    static constexpr std::int64_t giveUpFarNonMatches = 3;
    // The distance of a frame is that of the mean of its descriptor and
    // those of the frames before it, up to this many, while one face stays
    // in view: a camera's noise differs from frame to frame, the face
    // doesn't. A clean room still matches in requiredFrames frames.
    static constexpr std::size_t averagedFrames = 3;
    std::int64_t consecutiveNonMatches() const { return consecutiveNonMatches_; }
    std::int64_t consecutiveFarNonMatches() const { return consecutiveFarNonMatches_; }
    bool givesUp() const {
        return consecutiveNonMatches_ >= giveUpNonMatches ||
               consecutiveFarNonMatches_ >= giveUpFarNonMatches;
    }

  private:
    enum class BlinkPhase { needOpen, needClosed, needReopen, done };

    BlinkPhase startingPhase() const;
    void clearRuns();
    void updateBlink(double ear);
    Descriptor averaged(const Descriptor& latest);

    Config config_;
    std::vector<Descriptor> enrolled_;
    Analyze analyze_;
    std::int64_t consecutiveMatches_ = 0;
    std::int64_t consecutiveNonMatches_ = 0;
    std::int64_t consecutiveFarNonMatches_ = 0;
    float bestDistance_;
    std::int64_t framesSeen_ = 0;
    BlinkPhase blinkPhase_;
    double baselineEAR_ = 0;
    std::deque<Descriptor> recent_; // this face's last descriptors, for the mean
    // The sum of every descriptor the scan compared (one face, eyes open).
    std::vector<double> compared_;
    bool sawSeveralFaces_ = false;
};

} // namespace tarvo
