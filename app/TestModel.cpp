#include "app/TestModel.h"

#include "core/store/Enrollment.h"

#include <QTimer>

namespace tarvo::app {

TestModel::TestModel(Camera::SourceFactory source, QObject* parent)
    : QObject(parent), feed_(std::move(source)) {}

TestModel::~TestModel() = default;

void TestModel::run() {
    ++run_;
    setPhase(Phase::Looking);
    setDetail("Look at the camera");
    std::vector<Descriptor> samples;
    try {
        samples = Enrollment::load();
    } catch (const std::exception&) {
        setPhase(Phase::TimedOut);
        setDetail("No face enrolled");
        return;
    }
    // Settings changed before this run apply to it.
    recognizer_ = std::make_shared<Recognizer>(Config::load(), std::move(samples));
    deadline_ = Clock::now() + deadline;
    streak_ = 0;
    last_ = cv::Mat();
    lookSoon();
}

void TestModel::stop() {
    ++run_;
    feed_.stop();
}

void TestModel::lookSoon() {
    if (Clock::now() >= deadline_) return setPhase(Phase::TimedOut);
    QTimer::singleShot(pause, this, [this, run = run_] {
        if (run == run_) look();
    });
}

void TestModel::look() {
    auto frame = feed_.camera().latestFrame();
    if (!frame || frame->data == last_.data) return lookSoon();
    work_.run([recognizer = recognizer_, frame = *frame] { return recognizer->consider(frame); },
              [this, run = run_, frame = *frame](const Recognizer::Outcome& outcome) {
                  if (run == run_) considered(outcome, frame);
              });
}

void TestModel::considered(const Recognizer::Outcome& outcome, const cv::Mat& frame) {
    if (std::holds_alternative<Recognizer::Matched>(outcome)) {
        setPhase(Phase::Matched);
        setDetail("That's you");
        return;
    }
    auto reason = std::get<Recognizer::Searching>(outcome).reason;
    setDetail(humane(reason));
    streak_ = reason == Recognizer::Reason::someoneElse ? streak_ + 1 : 0;
    if (streak_ >= strangerStreak) return setPhase(Phase::TimedOut);
    last_ = frame;
    lookSoon();
}

QString TestModel::humane(Recognizer::Reason reason) {
    using Reason = Recognizer::Reason;
    switch (reason) {
    case Reason::noFace:
        return "Look at the camera";
    case Reason::severalFaces:
        return "Only one person should be in view";
    case Reason::eyesClosed:
        return "Keep your eyes open and on the screen";
    case Reason::waitingForBlink:
        return QStringLiteral("Recognized \u2014 waiting for a blink");
    case Reason::someoneElse:
        return "Not recognized";
    case Reason::matching:
        return QStringLiteral("Recognizing\u2026");
    case Reason::unclear:
        return "Can't get a clear read on your face";
    }
    return QStringLiteral("Checking\u2026");
}

void TestModel::setPhase(Phase phase) {
    phase_ = phase;
    emit phaseChanged();
}

void TestModel::setDetail(const QString& text) {
    detail_ = text;
    emit detailChanged();
}

} // namespace tarvo::app
