#include "core/face/FaceEmbedder.h"

#include "sandbox/Sandbox.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

namespace E = tarvo::FaceEmbedder;
namespace sb = tarvo::sandbox;
using Point = E::Point;
using Region = tarvo::platform::FaceDetector::Region;

namespace {

const std::string model = TARVO_DATA_DIR "/model/FaceEmbedding.tflite";

std::vector<Point> templateList() {
    return {E::templatePoints.begin(), E::templatePoints.end()};
}

TEST(FaceEmbedderTest, SimilarityTransform) {
    auto identity = E::similarityTransform(templateList(), templateList());
    ASSERT_TRUE(identity);
    EXPECT_NEAR(identity->a, 1, 1e-12);
    EXPECT_NEAR(identity->b, 0, 1e-12);
    EXPECT_NEAR(identity->tx, 0, 1e-9);
    EXPECT_NEAR(identity->ty, 0, 1e-9);

    std::vector<Point> doubled;
    for (auto p : templateList())
        doubled.push_back({p.x * 2 + 30, p.y * 2 - 7});
    auto half = E::similarityTransform(doubled, templateList());
    ASSERT_TRUE(half);
    EXPECT_NEAR(half->a, 0.5, 1e-12);
    EXPECT_NEAR(half->b, 0, 1e-12);

    std::vector<Point> same(5, Point{10, 10});
    EXPECT_FALSE(E::similarityTransform(same, templateList())) << "degenerate";
    EXPECT_FALSE(E::similarityTransform({{1, 1}}, {{2, 2}}));
    EXPECT_FALSE(E::similarityTransform(templateList(), {{1, 1}, {2, 2}}));
}

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

TEST(FaceEmbedderTest, Normalisation) {
    auto unit = E::normalized({3, 4});
    EXPECT_FLOAT_EQ(unit[0], 0.6f);
    EXPECT_FLOAT_EQ(unit[1], 0.8f);
    EXPECT_EQ(E::normalized({0, 0, 0}), (std::vector<float>{0, 0, 0}));
    EXPECT_TRUE(E::normalized({}).empty());
}

// A missing or damaged model fails every embedding with the loader's reason.
TEST(FaceEmbedderTest, AnUnusableModelFailsEveryEmbeddingWithItsReason) {
    auto failure = [](const std::string& modelFile) {
        // The model loads once per process, so each runs in a child.
        int out[2];
        if (pipe(out) != 0) return std::string("pipe failed");
        sb::runAs(geteuid(), [&] {
            ::setenv("TARVO_MODEL", modelFile.c_str(), 1);
            std::string what = "embedded";
            try {
                E::embed(cv::Mat(100, 100, CV_8UC3),
                         face(Region{{{0.2, 0.7}}}, Region{{{0.8, 0.7}}}));
            } catch (const E::EmbedError& error) {
                what = E::isAvailable() ? "available" : error.what();
            }
            return write(out[1], what.data(), what.size()) == ssize_t(what.size()) ? 0 : 1;
        });
        close(out[1]);
        char text[256];
        ssize_t n = read(out[0], text, sizeof text);
        close(out[0]);
        return std::string(text, n > 0 ? size_t(n) : 0);
    };
    EXPECT_EQ(failure("/nonexistent/FaceEmbedding.tflite"),
              "face model could not be loaded: /nonexistent/FaceEmbedding.tflite cannot be read");
    EXPECT_EQ(failure(std::string(TARVO_DATA_DIR) + "/franck/franck_01829.jpg"),
              "face model could not be loaded: not a TensorFlow Lite model");
}

TEST(FaceEmbedderTest, ModelIsFoundThroughTheEnvironment) {
    ::setenv("TARVO_MODEL", model.c_str(), 1);
    EXPECT_EQ(E::modelPath(), model);
    EXPECT_TRUE(E::isAvailable());
}

} // namespace
