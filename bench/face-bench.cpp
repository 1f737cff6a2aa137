// Where the time of one frame's analysis goes at 1280 x 720, and how well
// the shipped model tells the enrolled man from strangers.
#include "core/face/EmbeddingModel.h"
#include "core/face/FaceEmbedder.h"
#include "core/face/FaceEngine.h"
#include "core/store/Config.h"

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

// Every face of a photo with its descriptor.
std::vector<tarvo::Descriptor> facesIn(const std::string& path) {
    cv::Mat image = cv::imread(path);
    std::vector<tarvo::Descriptor> out;
    auto found = D::detect(image);
    if (!found) return out;
    for (const auto& face : *found) {
        try {
            out.push_back({E::embed(image, face)});
        } catch (const E::EmbedError&) {
        }
    }
    return out;
}

void verification() {
    ::setenv("TARVO_MODEL", (data + "/model/FaceEmbedding.tflite").c_str(), 1);
    std::vector<tarvo::Descriptor> enrolled;
    for (const char* still :
         {"franck_01829", "franck_02045", "franck_02159", "franck_02888", "franck_04117"})
        for (auto& d : facesIn(data + "/franck/" + still + ".jpg"))
            enrolled.push_back(d);

    std::vector<float> genuine;
    cv::VideoCapture video(data + "/franck/franck.mp4");
    cv::Mat frame;
    for (int i = 0; video.read(frame); ++i) {
        if (i % 12) continue;
        try {
            auto detection = F::analyze(frame, true);
            genuine.push_back(*F::distance(*detection.descriptor, enrolled));
        } catch (const std::exception&) {
        }
    }
    // Strangers: every face of the group photos, and franck as one more person.
    std::vector<tarvo::Descriptor> people{enrolled.front()};
    for (int i = 1; i <= 6; ++i)
        for (auto& d : facesIn(data + "/faces/sample" + std::to_string(i) + ".jpg"))
            people.push_back(d);
    std::vector<float> impostor;
    for (size_t a = 0; a < people.size(); ++a)
        for (size_t b = a + 1; b < people.size(); ++b)
            impostor.push_back(*F::distance(people[a], {people[b]}));
    std::sort(genuine.begin(), genuine.end());
    std::sort(impostor.begin(), impostor.end());

    std::printf("\nverification: %zu genuine frames (franck.mp4 every 12th, against %zu stills), "
                "%zu impostor pairs among %zu people\n",
                genuine.size(), enrolled.size(), impostor.size(), people.size());
    std::printf("  genuine distance median %.3f, p95 %.3f, worst %.3f\n",
                genuine[genuine.size() / 2], genuine[genuine.size() * 95 / 100], genuine.back());
    std::printf("  closest stranger %.3f (the system assumes above 0.70)\n", impostor.front());
    std::printf("  threshold  accepted%%  table%%  false accepts\n");
    for (int k = 0; k <= 25; ++k) {
        float t = tarvo::Config::thresholdFor(k * tarvo::Config::sensitivityStep);
        auto accepted = std::upper_bound(genuine.begin(), genuine.end(), t) - genuine.begin();
        auto falses = std::upper_bound(impostor.begin(), impostor.end(), t) - impostor.begin();
        std::printf("  %.2f       %6.1f    %5.1f   %ld\n", t, 100.0 * accepted / genuine.size(),
                    tarvo::Config::measuredAcceptance[k], long(falses));
    }
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
    if (std::getenv("FACE_BENCH_SKIP_VERIFICATION")) return 0;
    verification();
    return 0;
}
