#include "core/face/EnrollmentPlan.h"

#include <algorithm>
#include <cmath>

namespace tarvo::EnrollmentPlan {
namespace {

std::optional<double> upperMedian(std::vector<double> values) {
    if (values.empty()) return std::nullopt;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

std::optional<Axis> axis(const Target& target) {
    if (target.kind == Target::Kind::centered) return std::nullopt;
    return target.axis;
}

std::optional<double> value(Axis axis, const FaceEngine::Pose& pose) {
    return axis == Axis::yaw ? pose.yaw : pose.pitch;
}

std::optional<double> offset(Axis axis, const FaceEngine::Pose& pose,
                             const std::optional<FaceEngine::Pose>& baseline) {
    auto v = value(axis, pose);
    if (!v) return std::nullopt;
    auto base = baseline ? value(axis, *baseline) : std::nullopt;
    return base ? *v - *base : *v;
}

Verdict judge(const FaceEngine::Pose& pose, const Target& target,
              std::optional<double> previousSign, bool holding,
              const std::optional<FaceEngine::Pose>& baseline) {
    double allowance = holding ? slack : 0;
    if (target.kind == Target::Kind::centered) {
        if (!pose.yaw) return Verdict::unmeasurable;
        return std::fabs(*pose.yaw) <= centerDegrees + allowance ? Verdict::good
                                                                 : Verdict::notFarEnough;
    }
    auto o = offset(target.axis, pose, baseline);
    if (!o) return Verdict::unmeasurable;
    if (std::fabs(*o) < awayDegrees(target.axis) - allowance) return Verdict::notFarEnough;
    if (target.kind == Target::Kind::away || !previousSign) return Verdict::good;
    return std::signbit(*o) != std::signbit(*previousSign) ? Verdict::good
                                                           : Verdict::wrongDirection;
}

FaceEngine::Pose smoothed(const std::vector<FaceEngine::Pose>& poses) {
    std::vector<double> yaw, pitch, roll;
    for (const auto& p : poses) {
        if (p.yaw) yaw.push_back(*p.yaw);
        if (p.pitch) pitch.push_back(*p.pitch);
        if (p.roll) roll.push_back(*p.roll);
    }
    return {upperMedian(yaw), upperMedian(pitch), upperMedian(roll)};
}

} // namespace tarvo::EnrollmentPlan
