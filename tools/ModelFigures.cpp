#include "tools/ModelFigures.h"

#include "core/face/EnrollmentPlan.h"
#include "core/face/FaceEmbedder.h"
#include "core/face/FaceEngine.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <map>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>
#include <set>
#include <stdexcept>

namespace tarvo::ModelFigures {
namespace {

namespace F = FaceEngine;
namespace Plan = EnrollmentPlan;
namespace fs = std::filesystem;

struct Frame {
    double seconds = 0;
    std::optional<F::Detection> face; // with its descriptor
};

// Every `step`th frame of the video as a scan sees a stream: the face
// tracked from frame to frame.
std::vector<Frame> analyzeVideo(const fs::path& path, int step) {
    cv::VideoCapture video(path.string());
    if (!video.isOpened()) throw std::runtime_error("cannot read " + path.string());
    double fps = video.get(cv::CAP_PROP_FPS);
    platform::FaceDetector::Tracker tracker;
    std::vector<Frame> frames;
    cv::Mat image;
    for (int i = 0; video.grab(); ++i) {
        if (i % step || !video.retrieve(image)) continue;
        Frame frame{i / (fps > 0 ? fps : 24.0), std::nullopt};
        try {
            auto detection = F::analyze(image, true, &tracker);
            if (detection.descriptor) frame.face = detection;
        } catch (const std::exception&) {
        }
        frames.push_back(frame);
    }
    return frames;
}

// Guided enrollment over the video: six steps of two samples, as the plan
// asks for them. The man in the video follows no prompts and never holds
// some of the plan's poses, so each step takes the two frames that come
// closest to its pose (smoothed over the last five faces, as the flow
// judges), each half a second or more from every sample taken before, as
// the flow's hold keeps them apart. The frames each step took.
std::vector<std::vector<size_t>> enroll(const std::vector<Frame>& frames) {
    constexpr double spacing = 0.5;
    constexpr size_t perStep = 2;
    std::vector<std::optional<F::Pose>> smoothed(frames.size());
    std::deque<F::Pose> recent;
    for (size_t i = 0; i < frames.size(); ++i) {
        if (!frames[i].face) {
            recent.clear();
            continue;
        }
        recent.push_back(frames[i].face->pose);
        if (recent.size() > 5) recent.pop_front();
        smoothed[i] = Plan::smoothed({recent.begin(), recent.end()});
    }
    // How far a pose goes the step's way: straight ahead, then each axis
    // one way (away) and the other (opposite).
    auto reach = [](const Plan::Target& target, const F::Pose& pose) -> std::optional<double> {
        if (target.kind == Plan::Target::Kind::centered)
            return pose.yaw ? std::optional(-std::fabs(*pose.yaw)) : std::nullopt;
        auto value = Plan::value(target.axis, pose);
        if (!value) return std::nullopt;
        return target.kind == Plan::Target::Kind::away ? -*value : *value;
    };
    std::vector<std::vector<size_t>> taken;
    std::vector<double> times;
    for (const auto& step : Plan::steps) {
        std::vector<std::pair<double, size_t>> candidates;
        for (size_t i = 0; i < frames.size(); ++i)
            if (smoothed[i])
                if (auto r = reach(step.target, *smoothed[i])) candidates.push_back({-*r, i});
        std::sort(candidates.begin(), candidates.end());
        taken.emplace_back();
        for (const auto& [score, i] : candidates) {
            double at = frames[i].seconds;
            if (std::any_of(times.begin(), times.end(),
                            [&](double t) { return std::fabs(t - at) < spacing; }))
                continue;
            taken.back().push_back(i);
            times.push_back(at);
            if (taken.back().size() == perStep) break;
        }
        if (taken.back().size() < perStep)
            throw std::runtime_error(std::string("no frames for \"") + step.prompt + "\"");
    }
    return taken;
}

struct PhotoFace {
    cv::Rect2d box; // normalised to the photo, origin top-left
    Descriptor descriptor;
};

// Every face found in a photo, with its descriptor.
std::vector<PhotoFace> facesIn(const fs::path& path) {
    cv::Mat image = cv::imread(path.string());
    std::vector<PhotoFace> out;
    auto found = platform::FaceDetector::detect(image);
    if (image.empty() || !found) return out;
    for (const auto& face : *found) {
        try {
            out.push_back({{face.x, 1 - face.y - face.height, face.width, face.height},
                           {FaceEmbedder::embed(image, face)}});
        } catch (const FaceEmbedder::EmbedError&) {
        }
    }
    return out;
}

// Faces of one person in several photos, judged by eye: the photo, a
// point of the face (normalised, from the top-left) and who it is.
struct Sighting {
    const char* photo;
    cv::Point2d at;
    const char* person;
};
const std::vector<Sighting> sameOnes = {
    {"faces/sample1.jpg", {0.81, 0.27}, "blonde of the group photos"},
    {"faces/sample3.jpg", {0.60, 0.28}, "blonde of the group photos"},
    {"strangers/women/0.jpg", {0.5, 0.5}, "woman in red"},
    {"strangers/women/2.jpg", {0.5, 0.5}, "woman in red"},
    {"strangers/women/19.jpg", {0.5, 0.5}, "woman in red"},
    {"strangers/women/1.jpg", {0.5, 0.5}, "women 1"},
    {"strangers/women/12.jpg", {0.5, 0.5}, "women 1"},
    {"strangers/women/13.jpg", {0.5, 0.5}, "women 13"},
    {"strangers/women/28.jpg", {0.5, 0.5}, "women 13"},
    {"strangers/women/45.jpg", {0.5, 0.5}, "women 45"},
    {"strangers/women/46.jpg", {0.5, 0.5}, "women 45"},
    {"strangers/men/2.jpg", {0.5, 0.5}, "men 2"},
    {"strangers/men/17.jpg", {0.5, 0.5}, "men 2"},
    {"strangers/men/46.jpg", {0.5, 0.5}, "men 46"},
    {"strangers/men/69.jpg", {0.5, 0.5}, "men 46"},
};

// Who a face is: a person of sameOnes, else someone of its own.
std::string identity(const std::string& photo, const PhotoFace& face, int index) {
    for (const auto& s : sameOnes)
        if (photo == s.photo && face.box.contains(s.at)) return s.person;
    return photo + "#" + std::to_string(index);
}

std::vector<fs::path> photosUnder(const fs::path& dir) {
    std::vector<fs::path> photos;
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        if (entry.path().extension() == ".jpg") photos.push_back(entry.path());
    std::sort(photos.begin(), photos.end());
    if (photos.empty()) throw std::runtime_error("no photos in " + dir.string());
    return photos;
}

} // namespace

Measurement measure(const fs::path& data) {
    F::prepare(); // the shipped search, as the agent chooses it
    Measurement m;
    auto frames = analyzeVideo(data / "franck/franck.mp4", 3);
    auto taken = enroll(frames);
    std::vector<Descriptor> gallery;
    std::vector<bool> sample(frames.size(), false);
    for (const auto& step : taken)
        for (size_t i : step) {
            gallery.push_back(*frames[i].face->descriptor);
            sample[i] = true;
        }
    m.samples = static_cast<int>(gallery.size());
    m.poses = static_cast<int>(taken.size());
    for (size_t i = 0; i < frames.size(); ++i)
        if (frames[i].face && !sample[i])
            m.genuineFrames.push_back(*F::distance(*frames[i].face->descriptor, gallery));
    for (const auto& still : photosUnder(data / "franck"))
        for (const auto& face : facesIn(still))
            m.genuineStills.push_back(*F::distance(face.descriptor, gallery));

    // Each face of the group photos and each portrait is someone else,
    // Franck is one more person, and the faces that sameOnes groups are
    // one person each.
    std::vector<Descriptor> people{gallery.front()};
    std::vector<std::string> who{"franck"};
    for (const auto& set : {"faces", "strangers"})
        for (const auto& photo : photosUnder(data / set)) {
            int n = 0;
            for (const auto& face : facesIn(photo)) {
                people.push_back(face.descriptor);
                who.push_back(identity(photo.lexically_relative(data).string(), face, n++));
                m.galleryStrangers.push_back(*F::distance(face.descriptor, gallery));
            }
        }
    m.people = static_cast<int>(std::set(who.begin(), who.end()).size());
    for (size_t a = 0; a < people.size(); ++a)
        for (size_t b = a + 1; b < people.size(); ++b) {
            float d = *F::distance(people[a], {people[b]});
            (who[a] == who[b] ? m.genuinePairs : m.strangerPairs).push_back(d);
        }
    return m;
}

double acceptedPercent(const std::vector<float>& distances, float threshold) {
    if (distances.empty()) return 0;
    auto accepted =
        std::count_if(distances.begin(), distances.end(), [&](float d) { return d <= threshold; });
    return 100.0 * static_cast<double>(accepted) / static_cast<double>(distances.size());
}

ModelScale fit(const Measurement& m, float margin, double acceptedShare) {
    if (m.strangerPairs.empty() || m.genuineFrames.empty())
        throw std::runtime_error("nothing measured");
    ModelScale scale;
    scale.closestStranger = *std::min_element(m.strangerPairs.begin(), m.strangerPairs.end());
    scale.strangerPairs = static_cast<std::int64_t>(m.strangerPairs.size());
    // On a grid of 0.01, so that the figures read back as they were written.
    scale.loosest = std::floor((scale.closestStranger - margin) * 100) / 100;
    auto genuine = m.genuineFrames;
    std::sort(genuine.begin(), genuine.end());
    auto share = static_cast<size_t>(std::ceil(acceptedShare * genuine.size()));
    scale.strictest = std::ceil(genuine[std::max<size_t>(share, 1) - 1] * 100) / 100;
    if (scale.strictest > scale.loosest)
        throw std::runtime_error("the model can't accept the man without a stranger: strictest " +
                                 std::to_string(scale.strictest) + " above loosest " +
                                 std::to_string(scale.loosest));
    for (int k = 0; k < ModelScale::steps; ++k)
        scale.acceptance[k] = acceptedPercent(m.genuineFrames, scale.threshold(k));
    return scale;
}

} // namespace tarvo::ModelFigures
