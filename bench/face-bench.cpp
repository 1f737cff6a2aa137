// Where the time of one frame's analysis goes at 1280 x 720. How well the
// model tells people apart is tools/measure-model's.
#include "core/face/EmbeddingModel.h"
#include "core/face/FaceEmbedder.h"
#include "core/face/FaceEngine.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <string>
#include <vector>

namespace F = tarvo::FaceEngine;
namespace E = tarvo::FaceEmbedder;
namespace D = tarvo::platform::FaceDetector;
using Clock = std::chrono::steady_clock;

namespace {

const std::string data = TARVO_DATA_DIR;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void print(const char* what, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    std::printf("  %-12s median %6.2f ms   p95 %6.2f ms\n", what, ms[ms.size() / 2],
                ms[ms.size() * 95 / 100]);
}

// franck.mp4 (360 x 288) scaled by 2.5 into the middle of a 1280 x 720 frame.
cv::Mat asCameraFrame(const cv::Mat& video) {
    cv::Mat canvas(720, 1280, CV_8UC3, cv::Scalar(0, 0, 0)), big;
    cv::resize(video, big, cv::Size(900, 720), 0, 0, cv::INTER_LINEAR);
    big.copyTo(canvas(cv::Rect(190, 0, 900, 720)));
    return canvas;
}

// Analysis of `count` frames of franck.mp4 from the start, every `step`th,
// each as a camera frame of 1280 x 720; with a tracker, as a scan sees
// them (consecutive frames of one stream).
void perFrame(const char* title, int step, int count, D::Tracker* tracker) {
    std::printf("%s\n", title);
    auto model = tarvo::EmbeddingModel::load(data + "/model/FaceEmbedding.tflite");
    cv::VideoCapture video(data + "/franck/franck.mp4");
    std::vector<double> detect, landmarks, pose, align, embed, total;
    cv::Mat frame;
    for (int i = 0; i < count * step && video.read(frame); ++i) {
        if (i % step) continue;
        cv::Mat camera = asCameraFrame(frame);
        auto start = Clock::now();
        D::Timings t;
        auto faces = D::detect(camera, &t, tracker);
        if (!faces || faces->size() != 1) continue;
        auto stage = Clock::now();
        cv::Mat crop;
        try {
            crop = E::alignedCrop(camera, (*faces)[0]);
        } catch (const E::EmbedError&) {
            continue;
        }
        double alignMs = msSince(stage);
        stage = Clock::now();
        E::normalized(model->embed(crop));
        double embedMs = msSince(stage);
        total.push_back(msSince(start));
        detect.push_back(t.detectMs), landmarks.push_back(t.landmarksMs), pose.push_back(t.poseMs);
        align.push_back(alignMs), embed.push_back(embedMs);
    }
    std::printf("  (%zu frames with one face)\n", total.size());
    print("detect", detect);
    print("landmarks", landmarks);
    print("pose", pose);
    print("alignment", align);
    print("embedding", embed);
    print("total", total);
}

} // namespace

int main() {
    cv::setNumThreads(1);
    perFrame("per-frame analysis at 1280x720, one thread, whole-frame search, every 5th frame of "
             "franck.mp4:",
             5, 960, nullptr);
    D::Tracker tracker;
    perFrame("the same as a scan sees it: consecutive frames, the face tracked (whole-frame "
             "search every 5th):",
             1, 1200, &tracker);
    return 0;
}
