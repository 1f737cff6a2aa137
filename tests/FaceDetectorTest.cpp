#include "platform/face/FaceDetector.h"

#include "platform/face/BlazeFace.h"
#include "sandbox/BuildTree.h"
#include "sandbox/Sandbox.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

namespace Detector = tarvo::platform::FaceDetector;
namespace sb = tarvo::sandbox;

namespace {

cv::Mat still(const std::string& name) {
    return cv::imread(sb::tree::data(name), cv::IMREAD_COLOR);
}

// Every face found; the landmark model is there in these tests.
std::vector<Detector::Observation> detect(const cv::Mat& frame,
                                          Detector::Tracker* tracker = nullptr) {
    auto faces = detect(frame, nullptr, tracker);
    if (!faces) throw std::runtime_error(faces.error().text);
    return *faces;
}

double degrees(std::optional<double> radians) {
    return radians.value_or(1e9) * 180 / M_PI;
}

const std::string blazeFace = sb::tree::data("model/FaceDetection.onnx");

// Each whole-frame search gives faces the same way.
class FaceDetectorTest : public testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        if (GetParam() == "HOG") return Detector::useHogSearch();
        auto chosen = Detector::useSearchModel(blazeFace);
        ASSERT_TRUE(chosen) << chosen.error().text;
    }
    void TearDown() override { Detector::useHogSearch(); }
};
INSTANTIATE_TEST_SUITE_P(Searches, FaceDetectorTest, testing::Values("HOG", "BlazeFace"),
                         [](const auto& info) { return info.param; });

TEST_P(FaceDetectorTest, OneFaceWithItsRegionsInTheDetectorsConventions) {
    cv::Mat frame = still("franck/franck_02159.jpg");
    auto faces = detect(frame);
    ASSERT_EQ(faces.size(), 1u);
    const auto& face = faces[0];
    ASSERT_TRUE(face.landmarks);
    const auto& marks = *face.landmarks;
    ASSERT_TRUE(marks.leftEye && marks.rightEye && marks.nose && marks.outerLips);

    // Bottom-left origin: the eyes lie above the mouth, so their y is larger.
    auto eye = face.pointsInImage(*marks.leftEye, frame.cols, frame.rows);
    auto otherEye = face.pointsInImage(*marks.rightEye, frame.cols, frame.rows);
    auto lips = face.pointsInImage(*marks.outerLips, frame.cols, frame.rows);
    EXPECT_GT(eye[0].y, lips[0].y);
    EXPECT_LT(eye[0].x, otherEye[0].x) << "the left eye region is the image's left";
    for (const auto& p : marks.outerLips->normalizedPoints) {
        EXPECT_GT(p.x, -0.2);
        EXPECT_LT(p.x, 1.2);
        EXPECT_GT(p.y, -0.2);
        EXPECT_LT(p.y, 0.6) << "the mouth is in the lower part of the box";
    }
    // The nose's lowest point is its tip, above the lips.
    auto nose = face.pointsInImage(*marks.nose, frame.cols, frame.rows);
    EXPECT_GT(nose.back().y, lips[3].y);
}

TEST_P(FaceDetectorTest, PoseSigns) {
    // In franck_04000 he turns towards the image's left, in franck_02683 to
    // its right; both with the head upright.
    auto left = detect(still("franck/franck_04000.jpg"));
    auto right = detect(still("franck/franck_02683.jpg"));
    ASSERT_EQ(left.size(), 1u);
    ASSERT_EQ(right.size(), 1u);
    EXPECT_GT(degrees(left[0].yaw), 15);
    EXPECT_LT(degrees(right[0].yaw), -15);
    EXPECT_LT(std::fabs(degrees(left[0].roll)), 20);
    EXPECT_LT(std::fabs(degrees(right[0].roll)), 20);
    EXPECT_LT(std::fabs(degrees(right[0].pitch)), 20);
}

TEST_P(FaceDetectorTest, GroupsAndEmptyFrames) {
    EXPECT_GE(detect(still("faces/sample1.jpg")).size(), 2u);
    EXPECT_TRUE(detect(cv::Mat(720, 1280, CV_8UC3, cv::Scalar(40, 90, 200))).empty());
    // The blue backdrop beside him, without him.
    cv::Mat frame = still("franck/franck_02159.jpg");
    EXPECT_TRUE(detect(frame(cv::Rect(0, 0, 150, 300)).clone()).empty());
}

TEST(FaceDetectorModelTest, AMissingLandmarkModelIsAnError) {
    // The model loads once per process, so the failure is tried in a child.
    int status = sb::runAs(geteuid(), [] {
        ::setenv("TARVO_LANDMARKS", "/nonexistent.dat", 1);
        auto faces = Detector::detect(still("franck/franck_02159.jpg"));
        if (faces) return 1;
        return faces.error().text.rfind("landmark model /nonexistent.dat", 0) == 0 ? 0 : 2;
    });
    EXPECT_EQ(status, 0);
}

// A camera frame with the man's still at the left, and optionally a second
// copy far to the right, outside the window the tracker searches.
cv::Mat cameraFrame(bool second) {
    cv::Mat frame(720, 1280, CV_8UC3, cv::Scalar(30, 30, 30));
    cv::Mat face = still("franck/franck_02159.jpg");
    face.copyTo(frame(cv::Rect(40, 100, face.cols, face.rows)));
    if (second) face.copyTo(frame(cv::Rect(1280 - 40 - face.cols, 100, face.cols, face.rows)));
    return frame;
}

TEST(FaceTrackerTest, TrackingFindsTheSameFaceAndLaterNewcomers) {
    auto whole = detect(cameraFrame(false));
    ASSERT_EQ(whole.size(), 1u);
    Detector::Tracker tracker;
    for (int i = 0; i < 2 * Detector::Tracker::fullScanEvery; ++i) {
        auto faces = detect(cameraFrame(false), &tracker);
        ASSERT_EQ(faces.size(), 1u) << "frame " << i;
        EXPECT_NEAR(faces[0].x, whole[0].x, 0.1 * whole[0].width);
        EXPECT_NEAR(faces[0].width, whole[0].width, 0.2 * whole[0].width);
        ASSERT_TRUE(faces[0].landmarks);
    }
    // Someone sits down beside him: seen by the next whole-frame search at
    // the latest.
    int frames = 0;
    while (detect(cameraFrame(true), &tracker).size() == 1)
        ASSERT_LT(++frames, Detector::Tracker::fullScanEvery);
    // A frame of another size is searched whole.
    cv::Mat group = still("faces/sample2.jpg");
    EXPECT_EQ(detect(group, &tracker).size(), detect(group).size());
}

// A dim room: the man at arm's length in 30 % of the light with a sensor's
// noise. BlazeFace finds him where HOG mostly doesn't; a model that isn't
// one keeps the search as it was, and says why.
TEST(BlazeFaceTest, FindsTheFaceInADimRoom) {
    cv::VideoCapture video(sb::tree::data("franck/franck.mp4"));
    cv::theRNG().state = 7;
    int found = 0, frames = 0;
    ASSERT_TRUE(Detector::useSearchModel(blazeFace));
    cv::Mat frame;
    for (int i = 0; frames < 16 && video.read(frame); ++i) {
        if (i % 300) continue;
        cv::Mat dim(720, 1280, CV_8UC3, cv::Scalar::all(0)), noise(720, 1280, CV_16SC3), lit;
        frame.copyTo(dim(cv::Rect(460, 216, frame.cols, frame.rows)));
        cv::randn(noise, 0, 16);
        dim.convertTo(lit, CV_16SC3, 0.3);
        lit += noise;
        lit.convertTo(dim, CV_8UC3);
        auto faces = detect(dim);
        ++frames;
        if (faces.size() == 1 && faces[0].landmarks && faces[0].x > 0.3 && faces[0].x < 0.6)
            ++found;
    }
    EXPECT_GE(found, frames - 1) << "of " << frames;
    EXPECT_TRUE(tarvo::platform::BlazeFace::find(cv::Mat())->empty());

    auto notAModel = Detector::useSearchModel(sb::tree::data("franck/franck_02159.jpg"));
    ASSERT_FALSE(notAModel);
    EXPECT_NE(notAModel.error().text.find("cannot be loaded"), std::string::npos);
    EXPECT_EQ(detect(still("franck/franck_02159.jpg")).size(), 1u) << "BlazeFace still searches";
    Detector::useHogSearch();
}

} // namespace
