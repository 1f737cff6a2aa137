#include "core/face/Recognizer.h"

#include "sandbox/BuildTree.h"

#include <cmath>
#include <deque>
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

using tarvo::Config;
using tarvo::Recognizer;
namespace F = tarvo::FaceEngine;

namespace {

const tarvo::Descriptor enrolled{{1, 0}};

// A unit descriptor at a given cosine distance from `enrolled`.
tarvo::Descriptor at(float distance) {
    float c = 1 - distance;
    return {{c, std::sqrt(std::max(0.0f, 1 - c * c))}};
}

// Frames as the analysis would see them: a distance and an eye openness,
// or a failure.
struct Frame {
    std::optional<float> distance;
    double ear = 0.3;
    const char* error = nullptr;
};

class Script {
  public:
    Recognizer recognizer(Config config) {
        return Recognizer(config, {enrolled}, [this](const F::Image&) {
            Frame frame = frames.front();
            frames.pop_front();
            if (frame.error)
                throw std::string_view(frame.error) == "several" ? F::EngineError::multipleFaces(2)
                                                                 : F::EngineError::noFace();
            F::Detection detection;
            detection.eyeAspectRatio = frame.ear;
            if (frame.distance) detection.descriptor = at(*frame.distance);
            return detection;
        });
    }
    Recognizer::Outcome feed(Recognizer& r, Frame frame) {
        frames.push_back(frame);
        return r.consider(F::Image());
    }
    std::deque<Frame> frames;
};

std::string text(const Recognizer::Outcome& outcome) {
    if (auto* s = std::get_if<Recognizer::Searching>(&outcome)) return s->text;
    if (auto* m = std::get_if<Recognizer::Matched>(&outcome))
        return "matched " + std::to_string(m->frames);
    return "rejected";
}

Config settings(std::int64_t requiredFrames = 3,
                Config::Liveness liveness = Config::Liveness::attention, double openEye = 0) {
    Config config;
    config.threshold = 0.5f;
    config.requiredFrames = requiredFrames;
    config.liveness = liveness;
    config.openEyeAspectRatio = openEye;
    return config;
}

TEST(RecognizerTest, ARunOfMatchingFramesMatches) {
    Script s;
    auto r = s.recognizer(settings());
    EXPECT_EQ(text(s.feed(r, {0.20f})), "match 1/3 (distance 0.200)");
    EXPECT_EQ(text(s.feed(r, {0.20f})), "match 2/3 (distance 0.200)");
    auto outcome = s.feed(r, {0.40f}); // the mean of the three: 0.262
    auto* matched = std::get_if<Recognizer::Matched>(&outcome);
    ASSERT_TRUE(matched);
    EXPECT_EQ(matched->frames, 3);
    EXPECT_NEAR(matched->distance, 0.2f, 1e-6) << "the best so far, not the last";
}

// A frame's distance is that of the mean of the last three descriptors of
// the face in view: noise that throws single frames over the threshold
// and back is averaged away. A face lost, or closed eyes, start the mean
// afresh, and each check at a boundary below starts from one frame.
TEST(RecognizerTest, NoiseAroundTheThresholdIsAveragedAway) {
    Script s;
    Config config = settings();
    config.threshold = 0.1f;
    auto r = s.recognizer(config);
    EXPECT_EQ(text(s.feed(r, {0.05f})), "match 1/3 (distance 0.050)");
    EXPECT_EQ(text(s.feed(r, {0.12f})), "match 2/3 (distance 0.081)");
    EXPECT_TRUE(std::holds_alternative<Recognizer::Matched>(s.feed(r, {0.12f})))
        << "each 0.12 alone would not match";
}

TEST(RecognizerTest, RunsBreakOnFailuresAndNonMatches) {
    Script s;
    auto r = s.recognizer(settings());
    s.feed(r, {0.3f});
    EXPECT_EQ(text(s.feed(r, {std::nullopt, 0.3, "x"})), "no face in frame");
    EXPECT_EQ(text(s.feed(r, {0.3f})), "match 1/3 (distance 0.300)");
    EXPECT_EQ(text(s.feed(r, {std::nullopt})), "no comparable descriptor");
    EXPECT_EQ(text(s.feed(r, {0.6f})), "face seen, distance 0.600 > 0.500");
    EXPECT_EQ(r.consecutiveNonMatches(), 1);
    EXPECT_EQ(r.consecutiveFarNonMatches(), 0);
    s.feed(r, {1.0f}); // the mean with 0.6, 0.796: beyond 1.5 x the threshold
    EXPECT_EQ(r.consecutiveNonMatches(), 2);
    EXPECT_EQ(r.consecutiveFarNonMatches(), 1);
    s.feed(r, {std::nullopt, 0.3, "x"});
    s.feed(r, {0.75f}); // exactly 1.5 x: not far
    EXPECT_EQ(r.consecutiveFarNonMatches(), 0);
    s.feed(r, {std::nullopt, 0.3, "x"});
    EXPECT_EQ(text(s.feed(r, {0.5f})), "match 1/3 (distance 0.500)") << "equal to the threshold";
    EXPECT_EQ(r.consecutiveNonMatches(), 0);
}

TEST(RecognizerTest, OneFrameIsEnoughWhenAskedSo) {
    for (std::int64_t required : {0, 1}) {
        Script s;
        auto r = s.recognizer(settings(required));
        EXPECT_EQ(text(s.feed(r, {0.1f})), "matched 1");
    }
}

TEST(RecognizerTest, OpenEyesTest) {
    Script s;
    auto r = s.recognizer(settings(1, Config::Liveness::attention, 0.3));
    EXPECT_EQ(text(s.feed(r, {0.1f, 0.14})), "face seen, eyes closed or looking away");
    EXPECT_EQ(text(s.feed(r, {0.1f, 0.15})), "matched 2") << "exactly half passes";
}

TEST(RecognizerTest, BlinkModeWaitsForABlinkThenARun) {
    Script s;
    auto r = s.recognizer(settings(2, Config::Liveness::blink, 0.3));
    const std::string waiting = "recognized (distance 0.200) \xE2\x80\x94 waiting for a blink";
    s.feed(r, {0.2f, 0.30});
    EXPECT_EQ(text(s.feed(r, {0.2f, 0.30})), waiting);
    EXPECT_EQ(text(s.feed(r, {0.2f, 0.30})), waiting);
    EXPECT_EQ(text(s.feed(r, {0.2f, 0.10})), "face seen, eyes closed or looking away");
    EXPECT_EQ(text(s.feed(r, {std::nullopt, 0.3, "x"})), "no face in frame");
    EXPECT_EQ(text(s.feed(r, {0.2f, 0.29})), "match 1/2 (distance 0.200)") << "open again: a blink";
    EXPECT_EQ(text(s.feed(r, {0.25f, 0.30})), "matched 7");
    r.reset();
    s.feed(r, {0.2f, 0.30});
    EXPECT_EQ(text(s.feed(r, {0.2f, 0.30})), waiting) << "a new scan waits for a new blink";
}

TEST(RecognizerTest, BlinkWorksFromTheScansOwnBaselineWithoutCalibration) {
    Script s;
    auto r = s.recognizer(settings(1, Config::Liveness::blink, 0));
    s.feed(r, {0.2f, 0.30});
    EXPECT_EQ(text(s.feed(r, {0.2f, 0.05})).substr(0, 10), "recognized") << "judged by distance";
    EXPECT_EQ(text(s.feed(r, {0.2f, 0.30})), "matched 3");
}

// What a scan could teach: its closest averaged descriptor, only with one
// face in view and the blink, where one is asked for, seen.
TEST(RecognizerTest, ANearMissIsOffered) {
    Script s;
    auto r = s.recognizer(settings(3, Config::Liveness::attention, 0.3));
    EXPECT_EQ(r.nearMiss(), std::nullopt);
    s.feed(r, {0.6f, 0.05});
    EXPECT_EQ(r.nearMiss(), std::nullopt) << "eyes closed: nothing compared";
    EXPECT_FALSE(r.sawFace());
    s.feed(r, {0.6f});
    s.feed(r, {0.6f});
    ASSERT_TRUE(r.nearMiss());
    EXPECT_NEAR(r.nearMiss()->distance, 0.6f, 1e-4);
    EXPECT_NEAR(*F::distance(r.nearMiss()->averaged, {at(0.6f)}), 0, 1e-4);
    auto outcome = s.feed(r, {std::nullopt, 0.3, "several"});
    EXPECT_EQ(std::get<Recognizer::Searching>(outcome).reason, Recognizer::Reason::severalFaces);
    EXPECT_EQ(r.nearMiss(), std::nullopt) << "someone else was in view";
    r.reset();
    s.feed(r, {0.6f});
    EXPECT_TRUE(r.nearMiss());

    auto blink = s.recognizer(settings(1, Config::Liveness::blink));
    s.feed(blink, {0.6f});
    EXPECT_EQ(blink.nearMiss(), std::nullopt) << "no blink seen";
}

// A miss the password confirmed teaches the face it came closest to, if it
// came within the bound of what was enrolled and wouldn't have matched;
// what was learned never vouches for more, and only a few are kept.
TEST(LearningTest, OnlyANearMissOfWhatWasEnrolledTeaches) {
    namespace L = tarvo::Learning;
    const L::Rule rule{0.1f, 0.3f, 3};
    tarvo::Enrollment::Face face{"A", "me", {enrolled}, 0, {}};
    auto learned = L::learn(face, {at(0.2f), 0.2f}, rule, 100);
    ASSERT_EQ(learned.size(), 1u);
    EXPECT_NEAR(learned[0].distance, 0.2f, 1e-4);
    EXPECT_EQ(learned[0].learnedAt, 100);
    EXPECT_EQ(learned[0].sample, at(0.2f));
    EXPECT_TRUE(L::learn(face, {at(0.35f), 0.35f}, rule, 1).empty()) << "beyond the bound";
    EXPECT_TRUE(L::learn(face, {at(0.08f), 0.08f}, rule, 1).empty()) << "it matched";

    face.learned = learned;
    EXPECT_EQ(L::learn(face, {at(0.4f), 0.15f}, rule, 1), learned)
        << "close to a learned sample, far from the enrolled one";
    for (double when : {200, 300, 400})
        face.learned = L::learn(face, {at(0.25f), 0.15f}, rule, when);
    ASSERT_EQ(face.learned.size(), 3u) << "the oldest goes";
    EXPECT_EQ(face.learned.front().learnedAt, 200);

    tarvo::Enrollment::Face other{"B", "glasses", {at(0.5f)}, 0, {}};
    EXPECT_EQ(L::pupil({face, other}, {at(0.45f), 0.2f}, rule), 1u);
    EXPECT_EQ(L::pupil({face, other}, {at(0.12f), 0.12f}, rule), 0u);
    EXPECT_EQ(L::pupil({face, other}, {{{-1, 0}}, 1.5f}, rule), std::nullopt);
}

// The real pipeline on franck.mp4, enrolled from his stills.
class RecognizerVideoTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        for (const char* still : {"franck_01829.jpg", "franck_02045.jpg", "franck_02888.jpg"})
            samples.push_back(
                *F::analyze(cv::imread(tarvo::sandbox::tree::data("franck/" + std::string(still))),
                            true)
                     .descriptor);
    }
    // The first second (of the video) at which the recognizer matches.
    static std::optional<double> firstMatch(Recognizer& recognizer, double from, double to) {
        cv::VideoCapture video(tarvo::sandbox::tree::data("franck/franck.mp4"));
        video.set(cv::CAP_PROP_POS_MSEC, from * 1000);
        cv::Mat frame;
        while (video.get(cv::CAP_PROP_POS_MSEC) < to * 1000 && video.read(frame))
            if (std::holds_alternative<Recognizer::Matched>(recognizer.consider(frame)))
                return video.get(cv::CAP_PROP_POS_MSEC) / 1000;
        return std::nullopt;
    }
    static inline std::vector<tarvo::Descriptor> samples;
};

TEST_F(RecognizerVideoTest, BlinkModeMatchesOnlyAfterABlink) {
    Config config = Config::load();
    config.liveness = Config::Liveness::blink;
    Recognizer recognizer(config, samples);
    auto at = firstMatch(recognizer, 4, 14);
    ASSERT_TRUE(at) << "no blink seen between 4 s and 14 s";
    EXPECT_GT(*at, 4.5);
}

// A printed photo held up to the camera: one of his stills slid across the
// frame at different sizes, then slowly brought closer. Its eyes never
// close, so blink mode must never let it in, even at the loosest setting;
// attention mode can't tell it from him, and does.
class PhotoAttackTest : public RecognizerVideoTest {
  protected:
    static std::vector<cv::Mat> heldUp(const std::string& still) {
        cv::Mat photo = cv::imread(tarvo::sandbox::tree::data("franck/" + still));
        std::vector<cv::Mat> frames;
        auto place = [&](double scale, double across) {
            cv::Mat frame(720, 1280, CV_8UC3, cv::Scalar(60, 70, 80)), sized;
            cv::resize(photo, sized, cv::Size(), scale, scale, cv::INTER_AREA);
            int x = static_cast<int>(across * (frame.cols - sized.cols));
            int y = (frame.rows - sized.rows) / 2;
            sized.copyTo(frame(cv::Rect(x, y, sized.cols, sized.rows)));
            frames.push_back(frame);
        };
        for (int i = 0; i < 30; ++i)
            place(0.5 + 0.25 * (i % 3), i / 29.0);
        for (int i = 0; i < 30; ++i)
            place(0.4 + 0.8 * i / 29.0, 0.5);
        return frames;
    }
    static Config loosest(Config::Liveness liveness) {
        Config config = Config::load();
        config.sensitivity = 1;
        config.applySensitivity();
        config.liveness = liveness;
        return config;
    }
};

TEST_F(PhotoAttackTest, AStillPhotoNeverPassesTheBlinkTest) {
    for (const char* still : {"franck_02159.jpg", "franck_03909.jpg", "franck_04035.jpg"}) {
        SCOPED_TRACE(still);
        auto frames = heldUp(still);
        Recognizer blink(loosest(Config::Liveness::blink), samples);
        for (const auto& frame : frames)
            ASSERT_FALSE(std::holds_alternative<Recognizer::Matched>(blink.consider(frame)));

        Recognizer attention(loosest(Config::Liveness::attention), samples);
        bool matched = false;
        for (size_t i = 0; i < frames.size() && !matched; ++i)
            matched = std::holds_alternative<Recognizer::Matched>(attention.consider(frames[i]));
        EXPECT_TRUE(matched) << "attention mode takes the photo for him";
    }
}

} // namespace
