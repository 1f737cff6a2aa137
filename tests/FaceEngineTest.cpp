#include "core/face/FaceEngine.h"

#include "core/store/Config.h"

#include <cmath>
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

namespace F = tarvo::FaceEngine;

namespace {

cv::Mat image(const std::string& name) {
    return cv::imread(TARVO_DATA_DIR "/" + name);
}

class FaceEngineTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        ::setenv("TARVO_MODEL", TARVO_DATA_DIR "/model/FaceEmbedding.tflite", 1);
    }
    // Frames of franck.mp4 between two times, every `step`-th.
    static std::vector<cv::Mat> frames(double from, double to, int step = 1) {
        cv::VideoCapture video(TARVO_DATA_DIR "/franck/franck.mp4");
        video.set(cv::CAP_PROP_POS_MSEC, from * 1000);
        std::vector<cv::Mat> out;
        cv::Mat frame;
        for (int i = 0; video.get(cv::CAP_PROP_POS_MSEC) < to * 1000 && video.read(frame); ++i)
            if (i % step == 0) out.push_back(frame.clone());
        return out;
    }
};

TEST_F(FaceEngineTest, OneFaceWithOpenEyesAndAUnitDescriptor) {
    auto detection = F::analyze(image("franck/franck_02159.jpg"), true);
    ASSERT_TRUE(detection.descriptor);
    float norm = 0;
    for (float v : detection.descriptor->vector)
        norm += v * v;
    EXPECT_EQ(detection.descriptor->vector.size(), 192u);
    EXPECT_NEAR(norm, 1.0f, 1e-5);
    EXPECT_GT(detection.eyeAspectRatio, 0.2);
    EXPECT_TRUE(detection.pose.yaw && detection.pose.pitch && detection.pose.roll);
    EXPECT_FALSE(F::analyze(image("franck/franck_02159.jpg"), false).descriptor);
}

TEST_F(FaceEngineTest, NoFaceAndGroups) {
    try {
        F::analyze(cv::Mat(360, 640, CV_8UC3, cv::Scalar(200, 120, 40)), true);
        FAIL();
    } catch (const F::EngineError& error) {
        EXPECT_STREQ(error.what(), "no face in frame");
    }
    try {
        F::analyze(image("faces/sample1.jpg"), true);
        FAIL();
    } catch (const F::EngineError& error) {
        EXPECT_EQ(error.kind(), F::EngineError::Kind::multipleFaces);
        EXPECT_EQ(std::string(error.what()).substr(1), " faces in frame, need exactly one");
    }
    EXPECT_STREQ(F::EngineError::multipleFaces(3).what(), "3 faces in frame, need exactly one");
}

TEST_F(FaceEngineTest, ClosedEyesMeasureClearlyLower) {
    // He looks at the camera around 5 s and stretches with his eyes shut
    // around 159-160 s.
    double open = 0, shut = 1;
    for (const auto& frame : frames(4, 6, 6))
        open = std::max(open, F::analyze(frame, false).eyeAspectRatio);
    for (const auto& frame : frames(159, 161, 2)) {
        try {
            shut = std::min(shut, F::analyze(frame, false).eyeAspectRatio);
        } catch (const F::EngineError&) {
        }
    }
    EXPECT_LT(shut, open * 0.7) << "open " << open << ", shut " << shut;
}

TEST_F(FaceEngineTest, TheSameManIsCloseAndOthersFar) {
    std::vector<tarvo::Descriptor> franck;
    for (const char* still :
         {"franck/franck_01829.jpg", "franck/franck_02045.jpg", "franck/franck_02888.jpg"})
        franck.push_back(*F::analyze(image(still), true).descriptor);
    auto probe = *F::analyze(image("franck/franck_04117.jpg"), true).descriptor;
    auto stranger = *F::analyze(image("faces/sample2.jpg"), true).descriptor;
    auto same = F::distance(probe, franck), other = F::distance(stranger, franck);
    ASSERT_TRUE(same && other);
    EXPECT_LT(*same, tarvo::Config::loosest()) << "franck to franck";
    EXPECT_GT(*other, tarvo::Config::closestStranger()) << "a stranger to franck";
}

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

} // namespace
