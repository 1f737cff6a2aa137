#pragma once

#include "app/CameraFeed.h"
#include "app/Worker.h"
#include "core/face/Recognizer.h"

#include <QObject>
#include <QString>
#include <chrono>
#include <cstdint>
#include <memory>

namespace tarvo::app {

// "Test Recognition": a recognizer of its own, fed from the panel's camera
// as the agent would feed it on the lock screen, with its technical lines
// turned into short instructions. It never touches the agent, the socket or
// the saved password.
class TestModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(Phase phase READ phase NOTIFY phaseChanged)
    Q_PROPERTY(QString detail READ detail NOTIFY detailChanged)
    Q_PROPERTY(tarvo::app::CameraFeed* feed READ feed CONSTANT)

  public:
    enum class Phase { Looking, Matched, TimedOut };
    Q_ENUM(Phase)

    static constexpr std::chrono::seconds deadline{20};
    static constexpr std::chrono::milliseconds pause{60};
    // Frames in a row of a face too far from the enrolled ones that end a run.
    static constexpr int strangerStreak = 10;

    explicit TestModel(Camera::SourceFactory source = {}, QObject* parent = nullptr);
    ~TestModel() override;

    Phase phase() const { return phase_; }
    QString detail() const { return detail_; }
    CameraFeed* feed() { return &feed_; }

    // Starts a run, cancelling any under way.
    Q_INVOKABLE void run();
    // Cancels the run, stops the camera and clears the picture.
    Q_INVOKABLE void stop();

    // The user's line for a recognizer's text.
    static QString humane(Recognizer::Reason reason);

  signals:
    void phaseChanged();
    void detailChanged();

  private:
    using Clock = std::chrono::steady_clock;
    void lookSoon();
    void look();
    void considered(const Recognizer::Outcome& outcome, const cv::Mat& frame);
    void setPhase(Phase phase);
    void setDetail(const QString& text);

    Phase phase_ = Phase::Looking;
    QString detail_;
    std::uint64_t run_ = 0;
    Clock::time_point deadline_;
    std::shared_ptr<Recognizer> recognizer_;
    cv::Mat last_; // kept, so that its buffer can't come back as another frame
    int streak_ = 0;
    CameraFeed feed_;
    Worker work_{this, "tarvo.test"};
};

} // namespace tarvo::app
