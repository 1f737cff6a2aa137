#include "tools/ModelFigures.h"

#include "core/agent/Agent.h"
#include "core/face/Calibration.h"
#include "core/face/EnrollmentPlan.h"
#include "core/face/FaceEmbedder.h"
#include "core/face/Recognizer.h"
#include "tools/Rooms.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <deque>
#include <functional>
#include <map>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>

namespace tarvo::ModelFigures {
namespace {

namespace F = FaceEngine;
namespace Plan = EnrollmentPlan;
namespace fs = std::filesystem;

struct Video {
    std::vector<cv::Mat> frames;
    double fps = 25;
};

Video readVideo(const fs::path& path) {
    cv::VideoCapture capture(path.string());
    if (!capture.isOpened()) throw std::runtime_error("cannot read " + path.string());
    Video video;
    if (double fps = capture.get(cv::CAP_PROP_FPS); fps > 0) video.fps = fps;
    for (cv::Mat frame; capture.read(frame);)
        video.frames.push_back(frame.clone());
    return video;
}

using Stream = std::vector<std::optional<F::Detection>>;

// The video in one room as a scan sees a stream: the face tracked from
// frame to frame. `faces` are the recorded frames' faces, for rooms that
// light them apart.
Stream analyzeStream(const Video& video, const Rooms::Room& room,
                     const std::vector<std::optional<cv::Rect>>& faces) {
    platform::FaceDetector::Tracker tracker;
    Stream stream;
    for (size_t i = 0; i < video.frames.size(); ++i) {
        auto face = i < faces.size() ? faces[i] : std::nullopt;
        cv::Mat frame = room.render(video.frames[i], i, face);
        std::optional<F::Detection> found;
        try {
            auto detection = F::analyze(frame, true, &tracker);
            if (detection.descriptor) found = std::move(detection);
        } catch (const std::exception&) {
        }
        stream.push_back(std::move(found));
    }
    return stream;
}

cv::Rect pixels(const F::Observation& face, int width, int height) {
    return cv::Rect(cv::Point(int(face.x * width), int((1 - face.y - face.height) * height)),
                    cv::Size(int(face.width * width), int(face.height * height)));
}

// Guided enrollment over every third frame of the video: six steps of two
// samples, as the plan asks for them. The man in the video follows no
// prompts and never holds some of the plan's poses, so each step takes the
// two frames that come closest to its pose (smoothed over the last five
// faces, as the flow judges), each half a second or more from every sample
// taken before, as the flow's hold keeps them apart. The frames each step
// took.
std::vector<std::vector<size_t>> enroll(const Stream& stream, double fps) {
    constexpr double spacing = 0.5;
    constexpr size_t perStep = Plan::samplesPerStep, stride = 3;
    std::vector<std::optional<F::Pose>> smoothed(stream.size());
    std::deque<F::Pose> recent;
    for (size_t i = 0; i < stream.size(); i += stride) {
        if (!stream[i]) {
            recent.clear();
            continue;
        }
        recent.push_back(stream[i]->pose);
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
        for (size_t i = 0; i < stream.size(); ++i)
            if (smoothed[i])
                if (auto r = reach(step.target, *smoothed[i])) candidates.push_back({-*r, i});
        std::sort(candidates.begin(), candidates.end());
        taken.emplace_back();
        for (const auto& [score, i] : candidates) {
            double at = static_cast<double>(i) / fps;
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
std::vector<PhotoFace> facesIn(const cv::Mat& image) {
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

struct Photo {
    std::string name; // relative to the data folder
    cv::Mat image;
    std::vector<PhotoFace> faces; // as recorded
};

std::vector<Photo> strangerPhotos(const fs::path& data) {
    std::vector<Photo> photos;
    for (const auto& set : {"faces", "strangers"})
        for (const auto& path : photosUnder(data / set)) {
            cv::Mat image = cv::imread(path.string());
            photos.push_back({path.lexically_relative(data).string(), image, facesIn(image)});
        }
    return photos;
}

// Every face of the photos in `room`.
std::vector<Descriptor> strangersIn(const Rooms::Room& room, const std::vector<Photo>& photos) {
    std::vector<Descriptor> faces;
    std::uint64_t seed = 0;
    for (const auto& photo : photos) {
        // Backlighting darkens one face at a time; each is measured alone.
        std::vector<std::optional<cv::Rect>> lit = {std::nullopt};
        if (room.name == "backlit") {
            lit.clear();
            for (const auto& face : photo.faces)
                lit.push_back(cv::Rect(cv::Point(int(face.box.x * photo.image.cols),
                                                 int(face.box.y * photo.image.rows)),
                                       cv::Size(int(face.box.width * photo.image.cols),
                                                int(face.box.height * photo.image.rows))));
        }
        for (const auto& face : lit)
            for (const auto& found : facesIn(room.render(photo.image, ++seed, face)))
                faces.push_back(found.descriptor);
    }
    return faces;
}

// Runs `work` for each of `count` items on both cores.
void onBothCores(size_t count, const std::function<void(size_t)>& work) {
    std::vector<std::thread> threads;
    for (size_t first = 0; first < 2; ++first)
        threads.emplace_back([&, first] {
            for (size_t i = first; i < count; i += 2)
                work(i);
        });
    for (auto& thread : threads)
        thread.join();
}

} // namespace

const RoomFigures& Measurement::room(const std::string& name) const {
    for (const auto& r : rooms)
        if (r.room == name) return r;
    throw std::runtime_error("room " + name + " not measured");
}

Measurement measure(const fs::path& data, const std::vector<std::string>& roomNames) {
    F::prepare(); // the shipped search, as the agent chooses it
    Measurement m;
    auto video = readVideo(data / "franck/franck.mp4");
    m.fps = video.fps;
    const auto& recorded = Rooms::named("recorded");
    Stream clean = analyzeStream(video, recorded, {});

    auto taken = enroll(clean, video.fps);
    std::vector<Calibration::Sample> samples;
    m.nearSample.assign(clean.size(), false);
    auto halfSecond = static_cast<long>(std::lround(video.fps / 2));
    for (const auto& step : taken)
        for (size_t i : step) {
            samples.push_back(Calibration::Sample::from(*clean[i]));
            m.gallery.push_back(*clean[i]->descriptor);
            for (long j = long(i) - halfSecond; j <= long(i) + halfSecond; ++j)
                if (j >= 0 && j < long(clean.size())) m.nearSample[size_t(j)] = true;
        }
    m.samples = static_cast<int>(m.gallery.size());
    m.poses = static_cast<int>(taken.size());
    m.openEyeAspectRatio = Calibration::openEyeAspectRatio(samples);

    for (const auto& still : photosUnder(data / "franck"))
        for (const auto& face : facesIn(cv::imread(still.string())))
            m.genuineStills.push_back(*F::distance(face.descriptor, m.gallery));

    // Each face of the group photos and each portrait is someone else,
    // Franck is one more person, and the faces that sameOnes groups are
    // one person each.
    auto photos = strangerPhotos(data);
    std::vector<Descriptor> people{m.gallery.front()};
    std::vector<std::string> who{"franck"};
    for (const auto& photo : photos)
        for (size_t n = 0; n < photo.faces.size(); ++n) {
            people.push_back(photo.faces[n].descriptor);
            who.push_back(identity(photo.name, photo.faces[n], int(n)));
        }
    m.people = static_cast<int>(std::set(who.begin(), who.end()).size());
    m.strangerFaces.assign(people.begin() + 1, people.end());
    for (size_t a = 0; a < people.size(); ++a)
        for (size_t b = a + 1; b < people.size(); ++b) {
            float d = *F::distance(people[a], {people[b]});
            (who[a] == who[b] ? m.genuinePairs : m.strangerPairs).push_back(d);
        }

    std::vector<std::optional<cv::Rect>> faces;
    for (const auto& found : clean)
        faces.push_back(found ? std::optional(pixels(found->observation, video.frames[0].cols,
                                                     video.frames[0].rows))
                              : std::nullopt);
    m.rooms.resize(roomNames.size());
    onBothCores(roomNames.size(), [&](size_t r) {
        const auto& room = Rooms::named(roomNames[r]);
        auto& figures = m.rooms[r];
        figures.room = room.name;
        figures.stream = room.name == "recorded" ? clean : analyzeStream(video, room, faces);
        for (size_t i = 0; i < figures.stream.size(); i += 3) {
            if (m.nearSample[i] || !clean[i]) continue;
            const auto& found = figures.stream[i];
            figures.frames.push_back(found ? *F::distance(*found->descriptor, m.gallery) : 2.0f);
        }
        figures.strangerFaces = strangersIn(room, photos);
        for (const auto& face : figures.strangerFaces)
            figures.galleryStrangers.push_back(*F::distance(face, m.gallery));
    });
    return m;
}

namespace {

// One lock-screen scan from frame `start` of a room's stream, as the agent
// runs it; nothing when it reaches a frame in `excluded` before it ends.
struct Scan {
    bool unlocked = false;
    std::optional<Learning::NearMiss> nearMiss;
    size_t end = 0; // one past its last frame
};

size_t scanFrames(const Measurement& m) {
    return static_cast<size_t>(
        std::lround(std::chrono::duration<double>(Agent::scanLimit).count() * m.fps));
}

std::vector<size_t> scanStarts(const Measurement& m, const RoomFigures& room) {
    std::vector<size_t> starts;
    auto every = static_cast<size_t>(std::lround(m.fps / 2));
    for (size_t start = 0; start + scanFrames(m) <= room.stream.size(); start += every)
        starts.push_back(start);
    return starts;
}

std::optional<Scan> scanAt(const Measurement& m, const RoomFigures& room, float threshold,
                           const std::vector<Descriptor>& samples, size_t start,
                           const std::vector<bool>& excluded) {
    Config config;
    config.threshold = threshold;
    config.openEyeAspectRatio = m.openEyeAspectRatio;
    const auto& stream = room.stream;
    size_t at = start;
    Recognizer recognizer(config, samples, [&](const F::Image&) {
        if (!stream[at]) throw F::EngineError::noFace();
        return *stream[at];
    });
    std::optional<bool> verdict;
    for (; at < start + scanFrames(m) && !verdict; ++at) {
        // A frame beside a sample is what was enrolled or learned, not a probe.
        if (excluded[at]) return std::nullopt;
        auto outcome = recognizer.consider({});
        if (std::holds_alternative<Recognizer::Matched>(outcome))
            verdict = true;
        else if (recognizer.givesUp())
            verdict = false;
    }
    return Scan{verdict.value_or(false), recognizer.nearMiss(), at};
}

double unlockedShare(const Measurement& m, const RoomFigures& room, float threshold,
                     const std::vector<Descriptor>& samples, const std::vector<bool>& excluded) {
    int started = 0, unlocked = 0;
    for (size_t start : scanStarts(m, room)) {
        auto scan = scanAt(m, room, threshold, samples, start, excluded);
        if (!scan) continue;
        ++started;
        unlocked += scan->unlocked;
    }
    return started ? 100.0 * unlocked / started : 0;
}

} // namespace

double scansUnlocked(const Measurement& m, const RoomFigures& room, float threshold) {
    return unlockedShare(m, room, threshold, m.gallery, m.nearSample);
}

Lessons learnIn(const Measurement& m, const RoomFigures& room, const Learning::Rule& rule,
                const std::vector<int>& checkpoints, std::uint64_t seed) {
    auto order = scanStarts(m, room);
    std::mt19937_64 random(seed);
    std::shuffle(order.begin(), order.end(), random);
    Enrollment::Face face{"", "franck", m.gallery, 0, {}};
    auto excluded = m.nearSample;
    auto halfSecond = static_cast<long>(std::lround(m.fps / 2));
    auto samples = [&] {
        auto all = face.samples;
        for (const auto& l : face.learned)
            all.push_back(l.sample);
        return all;
    };
    Lessons lessons;
    size_t next = 0;
    int misses = 0;
    for (int checkpoint : checkpoints) {
        for (; misses < checkpoint && next < order.size(); ++next) {
            auto scan = scanAt(m, room, rule.threshold, samples(), order[next], excluded);
            if (!scan || scan->unlocked) continue;
            ++misses; // the password typed after it
            if (!scan->nearMiss) continue;
            auto learned = Learning::learn(face, *scan->nearMiss, rule, double(misses));
            if (learned == face.learned) continue;
            face.learned = std::move(learned);
            // The frames that taught are not probes any more.
            for (long j = long(order[next]) - halfSecond; j < long(scan->end) + halfSecond; ++j)
                if (j >= 0 && j < long(excluded.size())) excluded[size_t(j)] = true;
        }
        lessons.misses.push_back(misses);
        lessons.unlocked.push_back(unlockedShare(m, room, rule.threshold, samples(), excluded));
        std::vector<Descriptor> learned;
        for (const auto& l : face.learned)
            learned.push_back(l.sample);
        lessons.learned.push_back(std::move(learned));
    }
    return lessons;
}

double acceptedPercent(const std::vector<float>& distances, float threshold) {
    if (distances.empty()) return 0;
    auto accepted =
        std::count_if(distances.begin(), distances.end(), [&](float d) { return d <= threshold; });
    return 100.0 * static_cast<double>(accepted) / static_cast<double>(distances.size());
}

ModelScale fit(const Measurement& m, float margin, double unlockedShare) {
    if (m.strangerPairs.empty() || m.rooms.empty()) throw std::runtime_error("nothing measured");
    ModelScale scale;
    scale.closestStranger = *std::min_element(m.strangerPairs.begin(), m.strangerPairs.end());
    scale.strangerPairs = static_cast<std::int64_t>(m.strangerPairs.size());
    // On a grid of 0.01, so that the figures read back as they were written.
    scale.loosest = std::floor((scale.closestStranger - margin) * 100) / 100;
    auto worstScans = [&](float threshold) {
        double worst = 100;
        for (const auto& name : fittedRooms)
            worst = std::min(worst, scansUnlocked(m, m.room(name), threshold));
        return worst;
    };
    scale.strictest = 0;
    while (worstScans(scale.strictest) < unlockedShare) {
        scale.strictest = std::round((scale.strictest + 0.01f) * 100) / 100;
        if (scale.strictest > scale.loosest)
            throw std::runtime_error("the rooms can't be met short of the loosest threshold " +
                                     std::to_string(scale.loosest));
    }
    for (int k = 0; k < ModelScale::steps; ++k)
        scale.acceptance[k] = worstScans(scale.threshold(k));
    return scale;
}

std::vector<cv::Mat> recording(const fs::path& data) {
    return readVideo(data / "franck/franck.mp4").frames;
}

AttackScans attackScans(const Measurement& m, const std::vector<cv::Mat>& video,
                        const Attacks::Attack& attack, bool moving, const Rooms::Room& room,
                        Config config, double every) {
    config.openEyeAspectRatio = m.openEyeAspectRatio;
    const size_t frames = scanFrames(m), step = size_t(std::lround(every * m.fps));
    std::vector<size_t> starts;
    for (size_t start = 0; start + frames <= video.size(); start += step)
        starts.push_back(start);
    std::atomic<int> unlocked = 0;
    onBothCores(starts.size(), [&](size_t n) {
        const size_t start = starts[n];
        platform::FaceDetector::Tracker tracker;
        size_t at = 0;
        // A print is drawn once; a screen plays the video.
        auto shown = Attacks::show(attack, video[start], start);
        Recognizer recognizer(config, m.gallery, [&](const F::Image&) {
            if (attack.replay && at > 0) shown = Attacks::show(attack, video[start + at], start);
            cv::Mat seen = Attacks::photograph(shown, double(at) / m.fps, moving);
            auto detection =
                F::analyze(room.render(seen, start * 1000 + at, std::nullopt), true, &tracker);
            if (!detection.descriptor) throw F::EngineError::noFace();
            return detection;
        });
        for (; at < frames; ++at) {
            auto outcome = recognizer.consider({});
            if (std::holds_alternative<Recognizer::Matched>(outcome)) {
                ++unlocked;
                return;
            }
            if (recognizer.givesUp()) return;
        }
    });
    return {static_cast<int>(starts.size()), unlocked.load()};
}

} // namespace tarvo::ModelFigures
