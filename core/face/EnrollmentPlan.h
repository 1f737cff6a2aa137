#pragma once

#include "core/face/FaceEngine.h"

#include <array>
#include <optional>
#include <string>
#include <vector>

// The script of guided enrollment: six head poses one after the other, and
// the rule that judges, frame by frame, whether the head satisfies a step.
namespace tarvo::EnrollmentPlan {

enum class Axis { yaw, pitch };

struct Target {
    enum class Kind { away, opposite, centered };
    Kind kind = Kind::centered;
    Axis axis = Axis::yaw; // for away and opposite
    bool operator==(const Target&) const = default;
};

struct Step {
    Target target;
    const char* prompt;
    const char* hint;
};

enum class Verdict { good, notFarEnough, wrongDirection, unmeasurable };

inline constexpr double centerDegrees = 13;
inline constexpr double slack = 6;
inline constexpr double awayDegrees(Axis axis) {
    return axis == Axis::yaw ? 17 : 9;
}

inline const std::array<Step, 6> steps = {{
    {{Target::Kind::centered}, "Look straight at the camera", "Square your face to the screen"},
    {{Target::Kind::away, Axis::yaw},
     "Turn your head to the left",
     "Keep turning until it registers"},
    {{Target::Kind::opposite, Axis::yaw}, "Now turn to the right", "All the way past centre"},
    {{Target::Kind::away, Axis::pitch}, "Lift your chin up", "Keep your eyes on the screen"},
    {{Target::Kind::opposite, Axis::pitch},
     "Now tuck your chin down",
     "Keep your eyes on the screen"},
    {{Target::Kind::centered}, "Look straight ahead again", "Square your face to the screen"},
}};
// Samples each pose gives, and so a whole enrollment.
inline constexpr std::size_t samplesPerStep = 2;
inline const std::size_t samples = steps.size() * samplesPerStep;

std::optional<Axis> axis(const Target& target);
std::optional<double> value(Axis axis, const FaceEngine::Pose& pose);
std::optional<double> offset(Axis axis, const FaceEngine::Pose& pose,
                             const std::optional<FaceEngine::Pose>& baseline);
Verdict judge(const FaceEngine::Pose& pose, const Target& target,
              std::optional<double> previousSign, bool holding,
              const std::optional<FaceEngine::Pose>& baseline);
// Per angle, the upper median of the values present.
FaceEngine::Pose smoothed(const std::vector<FaceEngine::Pose>& poses);

} // namespace tarvo::EnrollmentPlan
