#include "sandbox/Faces.h"

#include "core/face/FaceEngine.h"
#include "platform/face/FaceDetector.h"
#include "sandbox/BuildTree.h"

#include <algorithm>
#include <cstdio>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <stdexcept>
#include <thread>

namespace tarvo::sandbox::Faces {

const std::string& data() {
    static const std::string folder = tree::dataDir;
    return folder;
}

std::string franckVideo() {
    return data() + "/franck/franck.mp4";
}

std::vector<Calibration::Sample> stillsOfFranck() {
    std::vector<Calibration::Sample> samples;
    for (const char* still : {"franck_01829.jpg", "franck_02045.jpg", "franck_02888.jpg",
                              "franck_03909.jpg", "franck_04117.jpg"}) {
        try {
            auto image = cv::imread(data() + "/franck/" + still);
            samples.push_back(Calibration::Sample::from(FaceEngine::analyze(image, true)));
        } catch (const std::exception& error) {
            std::printf("  %s skipped: %s\n", still, error.what());
        }
    }
    return samples;
}

std::filesystem::path someoneElse(const std::filesystem::path& folder) {
    auto photo = cv::imread(data() + "/faces/sample2.jpg");
    auto found = platform::FaceDetector::detect(photo);
    if (!found) throw std::runtime_error(found.error().text);
    auto& faces = *found;
    if (faces.empty()) throw std::runtime_error("no face in the stranger's photo");
    auto largest = *std::max_element(faces.begin(), faces.end(),
                                     [](auto& a, auto& b) { return a.width < b.width; });
    double w = largest.width * photo.cols, h = largest.height * photo.rows;
    double x = largest.x * photo.cols, y = (1 - largest.y - largest.height) * photo.rows;
    cv::Rect box(int(x - 0.25 * w), int(y - 0.35 * h), int(1.5 * w), int(1.6 * h));
    cv::Mat crop = photo(box & cv::Rect(0, 0, photo.cols, photo.rows)), larger;
    cv::resize(crop, larger, {}, 2.0, 2.0, cv::INTER_CUBIC);
    auto path = folder / "someone-else.jpg";
    cv::imwrite(path.string(), larger);
    return path;
}

const Poses& franckPoses() {
    // Frame numbers of the video, measured with the face engine: straight
    // (yaw -4..1, pitch -5), left (yaw -23..-27), right (yaw 23..26), chin
    // up (pitch 5..7), down (pitch -19..-21), and straight again as he sits
    // at the start (yaw 10..12, pitch -12). The first straight pose, with the
    // head a little raised, is the baseline: both pitches lie more than the
    // plan's 9 degrees from it.
    struct Range {
        int first, last, stride;
    };
    static const std::array<Range, 6> ranges = {{{2735, 2740, 1},
                                                 {3415, 3425, 2},
                                                 {4031, 4041, 2},
                                                 {3827, 3833, 1},
                                                 {2430, 2438, 2},
                                                 {12, 22, 2}}};
    static const Poses poses = [] {
        Poses held;
        cv::VideoCapture video(franckVideo());
        for (std::size_t i = 0; i < ranges.size(); ++i) {
            video.set(cv::CAP_PROP_POS_FRAMES, ranges[i].first);
            platform::Image frame;
            for (int n = ranges[i].first; n <= ranges[i].last && video.read(frame); ++n)
                if ((n - ranges[i].first) % ranges[i].stride == 0) held[i].push_back(frame.clone());
            if (held[i].empty()) throw std::runtime_error(franckVideo() + ": frames missing");
        }
        return held;
    }();
    return poses;
}

std::filesystem::path writeReplay(const std::filesystem::path& folder,
                                  const std::vector<std::vector<platform::Image>>& groups,
                                  int framesEach) {
    std::filesystem::create_directories(folder / "frames");
    int n = 0;
    char name[64];
    for (std::size_t group = 0; group < groups.size(); ++group) {
        for (std::size_t i = 0; i < groups[group].size(); ++i) {
            std::snprintf(name, sizeof name, "frames/%zu-%zu.png", group, i);
            cv::imwrite((folder / name).string(), groups[group][i],
                        {cv::IMWRITE_PNG_COMPRESSION, 1});
        }
        // The replay plays files in name order: the group's frames again
        // and again, as links.
        for (int i = 0; i < framesEach; ++i, ++n) {
            char link[32];
            std::snprintf(link, sizeof link, "%05d.png", n);
            std::snprintf(name, sizeof name, "frames/%zu-%zu.png", group, i % groups[group].size());
            std::filesystem::create_symlink(name, folder / link);
        }
    }
    return folder;
}

void enrollAsGuided(const std::string& name) {
    std::vector<std::vector<Calibration::Sample>> poses;
    for (const auto& pose : franckPoses()) {
        poses.emplace_back();
        for (size_t i = 0; i < pose.size() && poses.back().size() < 2; i += 2)
            poses.back().push_back(Calibration::Sample::from(FaceEngine::analyze(pose[i], true)));
    }
    Calibration::commit(poses, name);
}

std::vector<platform::Image> lookingAtTheScreen(int count) {
    cv::VideoCapture video(franckVideo());
    video.set(cv::CAP_PROP_POS_FRAMES, 2741);
    std::vector<platform::Image> frames;
    platform::Image frame;
    while (int(frames.size()) < count && video.read(frame))
        frames.push_back(frame.clone());
    return frames;
}

std::filesystem::path writeLookingAtTheScreen(const std::filesystem::path& folder, int count) {
    std::filesystem::create_directories(folder);
    auto frames = lookingAtTheScreen(count);
    for (size_t i = 0; i < frames.size(); ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "%03zu.jpg", i);
        cv::imwrite((folder / name).string(), frames[i]);
    }
    return folder;
}

std::filesystem::path writeTurns(const std::filesystem::path& folder, double seconds) {
    const auto& poses = franckPoses();
    return writeReplay(folder, {poses.begin(), poses.end()}, static_cast<int>(seconds * 30));
}

bool PosingCamera::next(platform::Image& frame) {
    std::this_thread::sleep_for(std::chrono::milliseconds(33));
    int pose = pose_();
    const auto& poses = franckPoses();
    if (pose < 0 || pose >= int(poses.size())) {
        frame = platform::Image(poses[0][0].size(), CV_8UC3, cv::Scalar(90, 90, 90));
        return true;
    }
    const auto& frames = poses[std::size_t(pose)];
    frame = frames[shown_++ % frames.size()].clone();
    return true;
}

} // namespace tarvo::sandbox::Faces
