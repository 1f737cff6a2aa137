// Where the time of one frame's analysis goes at 1280 x 720. How well the
// model tells people apart is tools/measure-model's.
#include "core/face/EmbeddingModel.h"
#include "core/face/FaceEmbedder.h"
#include "core/face/FaceEngine.h"
#include "platform/face/BlazeFace.h"
#include "sandbox/BuildTree.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <string>
#include <tuple>
#include <vector>

namespace F = tarvo::FaceEngine;
namespace E = tarvo::FaceEmbedder;
namespace D = tarvo::platform::FaceDetector;
using Clock = std::chrono::steady_clock;

namespace {

const std::string data = tarvo::sandbox::tree::dataDir;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> ms) {
    if (ms.empty()) return 0;
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

double p95(std::vector<double> ms) {
    if (ms.empty()) return 0;
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() * 95 / 100];
}

void print(const char* what, const std::vector<double>& a, const std::vector<double>& b) {
    std::printf("  %-12s median / p95  %6.2f / %6.2f ms  %6.2f / %6.2f ms\n", what, median(a),
                p95(a), median(b), p95(b));
}

// franck.mp4 (360 x 288) scaled by 2.5 into the middle of a 1280 x 720 frame.
cv::Mat asCameraFrame(const cv::Mat& video) {
    cv::Mat canvas(720, 1280, CV_8UC3, cv::Scalar(0, 0, 0)), big;
    cv::resize(video, big, cv::Size(900, 720), 0, 0, cv::INTER_LINEAR);
    big.copyTo(canvas(cv::Rect(190, 0, 900, 720)));
    return canvas;
}

struct Stages {
    std::vector<double> detect, landmarks, pose, align, embed, total;
};

// One frame's analysis by stage with the search in use; false without a
// single face.
bool analyze(tarvo::EmbeddingModel& model, const cv::Mat& camera, D::Tracker* tracker,
             Stages& into) {
    auto start = Clock::now();
    D::Timings t;
    auto faces = D::detect(camera, &t, tracker);
    if (!faces || faces->size() != 1) return false;
    auto stage = Clock::now();
    cv::Mat crop;
    try {
        crop = E::alignedCrop(camera, (*faces)[0]);
    } catch (const E::EmbedError&) {
        return false;
    }
    double alignMs = msSince(stage);
    stage = Clock::now();
    E::normalized(model.embed(crop));
    double embedMs = msSince(stage);
    into.total.push_back(msSince(start));
    into.detect.push_back(t.detectMs), into.landmarks.push_back(t.landmarksMs);
    into.pose.push_back(t.poseMs), into.align.push_back(alignMs), into.embed.push_back(embedMs);
    return true;
}

// Analysis of `count` frames of franck.mp4 from the start, every `step`th,
// each as a camera frame of 1280 x 720, by HOG and by BlazeFace in turn on
// each frame, so that both see the machine as loaded as the other; with
// trackers, as a scan sees them (consecutive frames of one stream).
void perFrame(const char* title, int step, int count, bool tracked) {
    std::printf("%s\n", title);
    auto model = tarvo::EmbeddingModel::load(data + "/model/FaceEmbedding.tflite");
    cv::VideoCapture video(data + "/franck/franck.mp4");
    Stages hog, blazeFace;
    D::Tracker hogTracker, blazeFaceTracker;
    cv::Mat frame;
    for (int i = 0; i < count * step && video.read(frame); ++i) {
        if (i % step) continue;
        cv::Mat camera = asCameraFrame(frame);
        D::useHogSearch();
        analyze(*model, camera, tracked ? &hogTracker : nullptr, hog);
        if (!D::useSearchModel(data + "/model/FaceDetection.onnx")) continue;
        analyze(*model, camera, tracked ? &blazeFaceTracker : nullptr, blazeFace);
    }
    D::useHogSearch();
    std::printf("  %zu and %zu frames with one face                  HOG            BlazeFace\n",
                hog.total.size(), blazeFace.total.size());
    for (auto [name, a, b] : {std::tuple{"search", &hog.detect, &blazeFace.detect},
                              {"landmarks", &hog.landmarks, &blazeFace.landmarks},
                              {"pose", &hog.pose, &blazeFace.pose},
                              {"alignment", &hog.align, &blazeFace.align},
                              {"embedding", &hog.embed, &blazeFace.embed},
                              {"total", &hog.total, &blazeFace.total}})
        print(name, *a, *b);
}

// The frames of each light: franck.mp4 every 75th frame, at its own size
// in the middle of a 1280 x 720 frame (a face about 145 pixels wide, a
// person farther back than at a laptop).
enum class Light { clean, dim, blurred };

cv::Mat lit(const cv::Mat& frame, Light light) {
    cv::Mat out;
    if (light == Light::clean) return frame;
    if (light == Light::blurred) {
        cv::GaussianBlur(frame, out, cv::Size(0, 0), 4);
        return out;
    }
    // A dim room: 30 % of the light and a sensor's noise on top.
    cv::Mat noise(frame.size(), CV_16SC3);
    cv::randn(noise, 0, 16);
    frame.convertTo(out, CV_16SC3, 0.3);
    out += noise;
    out.convertTo(out, CV_8UC3);
    return out;
}

int oneFace(const cv::Mat& frame) {
    auto faces = D::detect(frame);
    return faces && faces->size() == 1 ? 1 : 0;
}

// Faces found by the current search: frames of one face in each light,
// the portraits (one face each), and the faces of the group photos.
void detectionCounts(const char* search) {
    cv::theRNG().state = 12345;
    std::vector<cv::Mat> frames;
    cv::VideoCapture video(data + "/franck/franck.mp4");
    cv::Mat frame;
    for (int i = 0; video.read(frame); ++i)
        if (i % 75 == 0) {
            cv::Mat camera(720, 1280, CV_8UC3, cv::Scalar::all(0));
            frame.copyTo(camera(
                cv::Rect((1280 - frame.cols) / 2, (720 - frame.rows) / 2, frame.cols, frame.rows)));
            frames.push_back(camera);
        }
    std::printf("  %-10s", search);
    for (Light light : {Light::clean, Light::dim, Light::blurred}) {
        int found = 0;
        for (const auto& f : frames)
            found += oneFace(lit(f, light));
        std::printf("  %2d/%zu", found, frames.size());
    }
    int portraits = 0, total = 0, groupFaces = 0;
    for (const char* set : {"men", "women"})
        for (const auto& entry : std::filesystem::directory_iterator(data + "/strangers/" + set)) {
            ++total;
            portraits += oneFace(cv::imread(entry.path().string()));
        }
    for (int i = 1; i <= 6; ++i)
        if (auto faces = D::detect(cv::imread(data + "/faces/sample" + std::to_string(i) + ".jpg")))
            groupFaces += static_cast<int>(faces->size());
    std::printf("     %3d/%d          %2d\n", portraits, total, groupFaces);
}

// The narrowest face `finds` finds at 1280 x 720: a frontal still shrunk
// step by step in the middle of the frame; its width where last found.
void smallestFace(const char* search, const std::function<bool(const cv::Mat&)>& finds) {
    cv::Mat still = cv::imread(data + "/franck/franck_02159.jpg");
    D::useHogSearch();
    auto reference = D::detect(still);
    if (!reference || reference->size() != 1) return;
    double faceShare = (*reference)[0].width;
    if (std::string(search) != "HOG" && !D::useSearchModel(data + "/model/FaceDetection.onnx"))
        return;
    double smallest = 0;
    for (double width = 640; width >= 40; width *= 0.93) {
        cv::Mat canvas(720, 1280, CV_8UC3, cv::Scalar(40, 40, 40)), sized;
        double scale = width / (faceShare * still.cols);
        cv::resize(still, sized, cv::Size(), scale, scale, cv::INTER_AREA);
        if (sized.cols > 1280 || sized.rows > 720) continue;
        sized.copyTo(canvas(
            cv::Rect((1280 - sized.cols) / 2, (720 - sized.rows) / 2, sized.cols, sized.rows)));
        if (!finds(canvas)) break;
        smallest = width;
    }
    D::useHogSearch();
    std::printf("  %-36s smallest face found at 1280x720: %3.0f px wide\n", search, smallest);
}

// Runs `body` with each whole-frame search in turn.
void eachSearch(const std::function<void(const char*)>& body) {
    D::useHogSearch();
    body("HOG");
    if (!D::useSearchModel(data + "/model/FaceDetection.onnx")) {
        std::printf("  (no BlazeFace model in data/model)\n");
        return;
    }
    body("BlazeFace");
    D::useHogSearch();
}

} // namespace

int main() {
    cv::setNumThreads(1);
    perFrame("per-frame analysis at 1280x720, one thread, the whole frame searched, every 5th "
             "frame of franck.mp4:",
             5, 960, false);
    perFrame("as a scan sees it, consecutive frames (HOG tracks the face and searches the whole "
             "frame every 5th; BlazeFace searches every frame whole):",
             1, 1200, true);
    std::printf("\nframes with one face (of franck.mp4 every 75th, face ~145 px): clean, dim (30 "
                "%% light, noise 16), blurred; portraits with exactly one face; faces in the "
                "group photos\n");
    eachSearch(detectionCounts);
    smallestFace("HOG", [](const cv::Mat& f) { return oneFace(f) == 1; });
    smallestFace("BlazeFace alone", [](const cv::Mat& f) {
        auto faces = tarvo::platform::BlazeFace::find(f);
        return faces && faces->size() == 1;
    });
    smallestFace("BlazeFace, HOG where it finds nobody",
                 [](const cv::Mat& f) { return oneFace(f) == 1; });
    return 0;
}
