#include "core/face/FaceEngine.h"

#include "sandbox/BuildTree.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

namespace F = tarvo::FaceEngine;

namespace {

TEST(FaceDistance, Rules) {
    tarvo::Descriptor unit{{0.6f, 0.8f}}, opposite{{-0.6f, -0.8f}}, other{{1, 0, 0}};
    EXPECT_FALSE(F::distance(unit, {}));
    EXPECT_FALSE(F::distance(unit, {other}));
    EXPECT_FALSE(F::distance(tarvo::Descriptor{}, {tarvo::Descriptor{}}));
    EXPECT_EQ(F::distance(unit, {unit}), 0.0f);
    EXPECT_EQ(F::distance(unit, {opposite}), 2.0f);
    tarvo::Descriptor over{{0.6000001f, 0.8000001f}};
    EXPECT_EQ(F::distance(over, {over}), 0.0f) << "never negative";
    tarvo::Descriptor near{{0.8f, 0.6f}};
    EXPECT_EQ(F::distance(unit, {opposite, near, other}), F::distance(unit, {near, opposite}));
    // No length of a sample brings a face closer: the scale of a stored
    // vector is no master key.
    tarvo::Descriptor scaled{{0.8e6f, 0.6e6f}};
    EXPECT_NEAR(*F::distance(unit, {scaled}), *F::distance(unit, {near}), 1e-6);
    EXPECT_FALSE(F::distance(unit, {tarvo::Descriptor{{0, 0}}})) << "no direction";
}

TEST(FaceEyes, AspectRatioRules) {
    using Region = tarvo::platform::FaceDetector::Region;
    F::Observation face;
    EXPECT_EQ(F::eyeAspectRatio(face), 0.0) << "no landmarks";
    tarvo::platform::FaceDetector::Landmarks marks;
    marks.leftEye = Region{{{0, 0}, {0.2, 0.05}, {0.1, 0.1}, {0.05, 0.02}}}; // 0.1 / 0.2
    marks.rightEye = Region{{{0, 0}, {0.1, 0.1}, {0.2, 0.2}}};               // too few points
    face.landmarks = marks;
    EXPECT_DOUBLE_EQ(F::eyeAspectRatio(face), 0.5) << "one eye alone, not halved";
    face.landmarks->rightEye = Region{{{0.3, 0}, {0.3, 0.1}, {0.3, 0.2}, {0.3, 0.3}}}; // width 0
    EXPECT_DOUBLE_EQ(F::eyeAspectRatio(face), 0.5);
}

// The agent frees the models while the screen is unlocked: the next
// analysis loads them again and sees the same face.
TEST(FaceEngineModels, ReleasedModelsLoadAgain) {
    auto still = cv::imread(tarvo::sandbox::tree::data("franck/franck_02159.jpg"));
    auto before = F::analyze(still, true);
    F::release();
    auto after = F::analyze(still, true);
    ASSERT_TRUE(before.descriptor && after.descriptor);
    EXPECT_EQ(*F::distance(*before.descriptor, {*after.descriptor}), 0.0f);
}

} // namespace
