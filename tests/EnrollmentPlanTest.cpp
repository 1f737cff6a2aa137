#include "core/face/EnrollmentPlan.h"

#include <gtest/gtest.h>

namespace P = tarvo::EnrollmentPlan;
using Pose = tarvo::FaceEngine::Pose;
using P::Verdict;

namespace {

const P::Target centered{P::Target::Kind::centered};
const P::Target awayYaw{P::Target::Kind::away, P::Axis::yaw};
const P::Target oppositeYaw{P::Target::Kind::opposite, P::Axis::yaw};
const P::Target awayPitch{P::Target::Kind::away, P::Axis::pitch};

TEST(EnrollmentPlanTest, Centered) {
    EXPECT_EQ(P::judge({14.0, 0.0, 0.0}, centered, {}, false, {}), Verdict::notFarEnough);
    EXPECT_EQ(P::judge({14.0, 0.0, 0.0}, centered, {}, true, {}), Verdict::good);
    EXPECT_EQ(P::judge({-13.0, 40.0, 0.0}, centered, {}, false, Pose{20.0, 0.0, 0.0}),
              Verdict::good)
        << "absolute yaw, pitch ignored";
    EXPECT_EQ(P::judge({}, centered, {}, false, {}), Verdict::unmeasurable);
}

TEST(EnrollmentPlanTest, AwayAndOpposite) {
    Pose baseline{5.0, 0.0, 0.0};
    EXPECT_EQ(P::judge({-13.0, 0.0, 0.0}, awayYaw, {}, false, baseline), Verdict::good);
    EXPECT_EQ(P::judge({20.0, 0.0, 0.0}, awayYaw, {}, false, baseline), Verdict::notFarEnough);
    EXPECT_EQ(P::judge({20.0, 0.0, 0.0}, awayYaw, {}, true, baseline), Verdict::good);
    EXPECT_EQ(P::judge({20.0, 0.0, 0.0}, oppositeYaw, -18.0, false, {}), Verdict::good);
    EXPECT_EQ(P::judge({-20.0, 0.0, 0.0}, oppositeYaw, -18.0, false, {}), Verdict::wrongDirection);
    EXPECT_EQ(P::judge({10.0, 0.0, 0.0}, oppositeYaw, -18.0, false, {}), Verdict::notFarEnough);
    EXPECT_EQ(P::judge({-20.0, 0.0, 0.0}, oppositeYaw, {}, false, {}), Verdict::good);
    EXPECT_EQ(P::judge({0.0, std::nullopt, 0.0}, awayPitch, {}, false, {}), Verdict::unmeasurable);
    EXPECT_EQ(P::offset(P::Axis::pitch, {0.0, 12.0, 0.0}, Pose{0.0, std::nullopt, 0.0}), 12.0);
}

TEST(EnrollmentPlanTest, SmoothingTakesTheUpperMedian) {
    auto pose = P::smoothed({{3.0, 1.0, std::nullopt},
                             {1.0, 2.0, std::nullopt},
                             {2.0, std::nullopt, std::nullopt},
                             {10.0, 3.0, std::nullopt}});
    EXPECT_EQ(pose.yaw, 3.0);
    EXPECT_EQ(pose.pitch, 2.0);
    EXPECT_EQ(pose.roll, std::nullopt);
}

} // namespace
