#include "app/EnrollModel.h"

#include "app/TestModel.h"
#include "core/face/EnrollmentPlan.h"
#include "core/store/Enrollment.h"
#include "sandbox/Faces.h"
#include "sandbox/Sandbox.h"

#include <QTest>
#include <atomic>
#include <gtest/gtest.h>
#include <memory>

namespace sb = tarvo::sandbox;
using namespace tarvo;
using app::EnrollModel;
using app::TestModel;

namespace {

// The man of the video, by default posing for each step as its prompt asks.
// The camera shares the pose: its thread may read it after a test's end.
struct Posing {
    std::shared_ptr<std::atomic<int>> pose = std::make_shared<std::atomic<int>>(0);
    Camera::SourceFactory camera() {
        return [pose = pose]() -> platform::Result<std::unique_ptr<platform::VideoSource>> {
            return {std::make_unique<sb::Faces::PosingCamera>([pose] { return pose->load(); })};
        };
    }
    void follow(EnrollModel& model) {
        QObject::connect(&model, &EnrollModel::stepIndexChanged, &model,
                         [pose = pose, &model] { *pose = model.stepIndex(); });
    }
};

enum Pose { straight, left, right, empty = -1 };

Camera::SourceFactory replay(const std::string& path) {
    return [path] { return platform::openReplay(path); };
}

bool waitFor(const std::function<bool()>& condition, int seconds) {
    return QTest::qWaitFor(condition, seconds * 1000);
}

class EnrollModelTest : public testing::Test {
  protected:
    void SetUp() override { Enrollment::clear(); }
};

// The whole guided enrollment at its real pace, then the test panel knows
// him and not someone else.
TEST_F(EnrollModelTest, SixPosesTwelveSamplesAndTheTestKnowsHim) {
    Posing posing;
    EnrollModel model(posing.camera());
    posing.follow(model);
    int chimes = 0;
    model.setChime([&] { ++chimes; });
    std::vector<double> progress;
    QObject::connect(&model, &EnrollModel::progressChanged,
                     [&] { progress.push_back(model.progress()); });

    model.feed()->start();
    model.begin("Franck");
    model.begin("Franck"); // one run only
    ASSERT_TRUE(waitFor([&] { return model.phase() != EnrollModel::Phase::Capturing; }, 100))
        << model.guidance().toStdString();
    ASSERT_EQ(model.phase(), EnrollModel::Phase::Done) << model.failure().toStdString();

    std::vector<double> twelfths;
    for (int n = 1; n <= 12; ++n)
        twelfths.push_back(n / 12.0);
    EXPECT_EQ(progress, twelfths);
    EXPECT_EQ(chimes, 6);
    EXPECT_EQ(model.result().value("samples").toInt(), 12);
    EXPECT_EQ(Enrollment::faces().at(0).samples.size(), 12u);
    EXPECT_EQ(model.prompt(), "");
    EXPECT_TRUE(model.feed()->faceVisible());
    EXPECT_FALSE(model.feed()->image().empty());

    TestModel him(replay(sb::Faces::franckVideo()));
    std::vector<QString> lines;
    QObject::connect(&him, &TestModel::detailChanged, [&] { lines.push_back(him.detail()); });
    him.feed()->start();
    him.run();
    ASSERT_TRUE(waitFor([&] { return him.phase() != TestModel::Phase::Looking; }, 30));
    EXPECT_EQ(him.phase(), TestModel::Phase::Matched);
    EXPECT_EQ(him.detail(), "That's you");
    EXPECT_NE(std::find(lines.begin(), lines.end(), QStringLiteral("Recognizing\u2026")),
              lines.end());
    him.stop();
    EXPECT_TRUE(him.feed()->image().empty());
}

TEST_F(EnrollModelTest, AStrangerIsNotRecognizedTenTimesAndTheTestEnds) {
    std::vector<Descriptor> samples;
    for (const auto& still : sb::Faces::stillsOfFranck())
        samples.push_back(still.descriptor);
    Enrollment::add("Franck", samples);
    auto folder = sb::root() / "stranger";
    std::filesystem::create_directories(folder);
    TestModel test(replay(sb::Faces::someoneElse(folder).string()));
    int notRecognized = 0;
    QObject::connect(&test, &TestModel::detailChanged,
                     [&] { notRecognized += test.detail() == "Not recognized"; });
    test.feed()->start();
    test.run();
    ASSERT_TRUE(waitFor([&] { return test.phase() != TestModel::Phase::Looking; }, 30));
    EXPECT_EQ(test.phase(), TestModel::Phase::TimedOut);
    EXPECT_EQ(notRecognized, TestModel::strangerStreak) << "ends after ten, not at 20 s";

    Enrollment::clear();
    test.run();
    EXPECT_EQ(test.phase(), TestModel::Phase::TimedOut);
    EXPECT_EQ(test.detail(), "No face enrolled");
}

// Nobody in view, then he turns right where the prompt says left, which
// counts; the next step then wants the other side.
TEST_F(EnrollModelTest, GuidanceFollowsWhatTheCameraSees) {
    Posing posing;
    *posing.pose = empty;
    EnrollModel model(posing.camera());
    model.setChime([] {});
    std::vector<QString> lines;
    QObject::connect(&model, &EnrollModel::guidanceChanged, [&] {
        if (lines.empty() || lines.back() != model.guidance()) lines.push_back(model.guidance());
        if (model.guidance() == "Can't see your face") *posing.pose = straight;
        if (model.guidance() == "Other way") *posing.pose = left;
    });
    QObject::connect(&model, &EnrollModel::stepIndexChanged, [&] {
        if (model.stepIndex() == 1) *posing.pose = right;
    });
    model.feed()->start();
    model.begin("Franck");
    ASSERT_TRUE(waitFor([&] { return model.stepIndex() == 3; }, 60))
        << model.guidance().toStdString();
    model.cancel();
    auto has = [&](const QString& line) { return std::count(lines.begin(), lines.end(), line); };
    EXPECT_EQ(has("Can't see your face"), 1);
    EXPECT_EQ(has("Other way"), 1);
    EXPECT_EQ(model.progress(), 0) << "cancelled";
    EXPECT_TRUE(Enrollment::faces().empty());
}

TEST_F(EnrollModelTest, ACameraThatFailsEndsWithTooFewSamples) {
    EnrollModel model([]() -> platform::Result<std::unique_ptr<platform::VideoSource>> {
        return platform::fail("no capture device");
    });
    model.setStepTimeout(std::chrono::milliseconds(300));
    int chimes = 0;
    model.setChime([&] { ++chimes; });
    model.feed()->start();
    model.begin("Nobody");
    ASSERT_TRUE(waitFor([&] { return model.phase() != EnrollModel::Phase::Capturing; }, 30));
    EXPECT_EQ(model.phase(), EnrollModel::Phase::Failed);
    EXPECT_EQ(model.failure(), "only captured 0 samples, need at least 3");
    EXPECT_EQ(model.feed()->error(), "camera setup failed: no capture device");
    EXPECT_EQ(chimes, 6) << "every step ran to its deadline";
    EXPECT_TRUE(Enrollment::faces().empty());
}

// A pose he doesn't hold in time is said by name when the rest is stored,
// and captured again on its own: the face then has all twelve samples.
TEST_F(EnrollModelTest, AMissedPoseIsNamedAndCapturedAgain) {
    Posing posing;
    EnrollModel model(posing.camera());
    model.setStepTimeout(std::chrono::seconds(10)); // two samples take a few seconds under TSan
    bool looksAway = true;                          // from the second pose, the first time
    QObject::connect(&model, &EnrollModel::stepIndexChanged, &model, [&] {
        *posing.pose = looksAway && model.stepIndex() == 1 ? Pose::empty : model.stepIndex();
    });
    model.feed()->start();
    model.begin("Franck");
    auto ended = [&] { return model.phase() != EnrollModel::Phase::Capturing; };
    ASSERT_TRUE(waitFor(ended, 100));
    ASSERT_EQ(model.phase(), EnrollModel::Phase::Done) << model.failure().toStdString();
    EXPECT_EQ(model.missedPoses(), QStringList{EnrollmentPlan::steps[1].prompt});
    EXPECT_EQ(Enrollment::faces().at(0).samples.size(), 10u);

    looksAway = false;
    model.recaptureMissed();
    ASSERT_TRUE(waitFor(ended, 100));
    ASSERT_EQ(model.phase(), EnrollModel::Phase::Done) << model.failure().toStdString();
    EXPECT_TRUE(model.missedPoses().isEmpty());
    EXPECT_EQ(Enrollment::faces().size(), 1u) << "the same face, completed";
    EXPECT_EQ(Enrollment::faces().at(0).samples.size(), 12u);
}

} // namespace
