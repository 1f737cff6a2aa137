#include "core/face/Learning.h"

#include "core/face/FaceEngine.h"
#include "core/store/Config.h"

#include <algorithm>

namespace tarvo::Learning {
namespace {

// The distance that decides a lesson: to what the user enrolled, never to
// what was learned.
std::optional<float> fromEnrolled(const Enrollment::Face& face, const NearMiss& miss) {
    return FaceEngine::distance(miss.averaged, face.samples);
}

bool teaches(const Enrollment::Face& face, const NearMiss& miss, const Rule& rule) {
    auto distance = fromEnrolled(face, miss);
    return miss.distance > rule.threshold && distance && *distance <= rule.bound && rule.kept > 0;
}

} // namespace

Rule ruleFor(float threshold) {
    return Rule{threshold, Config::loosest()};
}

std::vector<Enrollment::Learned> learn(const Enrollment::Face& face, const NearMiss& miss,
                                       const Rule& rule, double now) {
    auto learned = face.learned;
    if (!teaches(face, miss, rule)) return learned;
    learned.push_back({miss.averaged, now, *fromEnrolled(face, miss)});
    if (learned.size() > rule.kept)
        learned.erase(learned.begin(), learned.end() - static_cast<std::ptrdiff_t>(rule.kept));
    return learned;
}

std::optional<std::size_t> pupil(const std::vector<Enrollment::Face>& faces, const NearMiss& miss,
                                 const Rule& rule) {
    std::optional<std::size_t> closest;
    float best = 0;
    for (std::size_t i = 0; i < faces.size(); ++i) {
        auto distance = fromEnrolled(faces[i], miss);
        if (!distance || (closest && *distance >= best)) continue;
        closest = i;
        best = *distance;
    }
    if (closest && !teaches(faces[*closest], miss, rule)) return std::nullopt;
    return closest;
}

} // namespace tarvo::Learning
