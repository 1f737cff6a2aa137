#include "core/face/FaceEmbedder.h"

#include "sandbox/BuildTree.h"
#include "sandbox/Sandbox.h"

#include <gtest/gtest.h>

namespace E = tarvo::FaceEmbedder;
namespace sb = tarvo::sandbox;
using Point = E::Point;
using Region = tarvo::platform::FaceDetector::Region;

namespace {

// A face box covering the whole 100 x 100 image, with regions given in its
// normalised, bottom-left-origin points.
E::Observation face(Region leftEye, Region rightEye) {
    E::Observation o;
    o.width = o.height = 1;
    tarvo::platform::FaceDetector::Landmarks marks;
    marks.leftEye = std::move(leftEye);
    marks.rightEye = std::move(rightEye);
    marks.nose = Region{{{0.5, 0.6}, {0.5, 0.4}, {0.52, 0.4}}};
    marks.outerLips = Region{{{0.4, 0.2}, {0.6, 0.2}, {0.5, 0.25}}};
    o.landmarks = marks;
    return o;
}

TEST(FaceEmbedderTest, FivePointsInOrderWithATopLeftOrigin) {
    // The detector's "left" eye lies on the image's right here: the first
    // point is still the one with the smaller x.
    auto points = E::fivePoints(
        face(Region{{{0.7, 0.7}, {0.8, 0.7}}}, Region{{{0.2, 0.7}, {0.3, 0.7}}}), 100, 100);
    ASSERT_TRUE(points);
    EXPECT_NEAR((*points)[0].x, 25, 1e-9);
    EXPECT_NEAR((*points)[1].x, 75, 1e-9);
    EXPECT_NEAR((*points)[0].y, 30, 1e-9) << "y counted from the top";
    EXPECT_NEAR((*points)[2].y, 60, 1e-9) << "lowest nose point, first of equals";
    EXPECT_NEAR((*points)[2].x, 50, 1e-9);
    EXPECT_NEAR((*points)[3].x, 40, 1e-9);
    EXPECT_NEAR((*points)[4].x, 60, 1e-9);

    auto noEye = face(Region{}, Region{{{0.2, 0.7}}});
    noEye.landmarks->leftEye.reset();
    EXPECT_FALSE(E::fivePoints(noEye, 100, 100));
    EXPECT_THROW(E::alignedCrop(cv::Mat(100, 100, CV_8UC3), noEye), E::EmbedError);
}

// A missing or damaged model fails every embedding with the loader's reason.
TEST(FaceEmbedderTest, AnUnusableModelFailsEveryEmbeddingWithItsReason) {
    auto failure = [](const std::string& modelFile) {
        // The model loads once per process, so each runs in a child.
        return sb::outputAs(geteuid(), [&]() -> std::string {
            ::setenv("TARVO_MODEL", modelFile.c_str(), 1);
            auto error = sb::thrown<E::EmbedError>([] {
                E::embed(cv::Mat(100, 100, CV_8UC3),
                         face(Region{{{0.2, 0.7}}}, Region{{{0.8, 0.7}}}));
            });
            return error ? std::string(error->what()) : "embedded";
        });
    };
    EXPECT_EQ(failure("/nonexistent/FaceEmbedding.tflite"),
              "face model could not be loaded: /nonexistent/FaceEmbedding.tflite cannot be read");
    EXPECT_EQ(failure(sb::tree::data("franck/franck_01829.jpg")),
              "face model could not be loaded: not a TensorFlow Lite model");
}

} // namespace
