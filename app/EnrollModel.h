#pragma once

#include "app/CameraFeed.h"
#include "app/Worker.h"
#include "core/face/Calibration.h"
#include "core/face/EnrollmentPlan.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <vector>

namespace tarvo::app {

// Guided enrollment: walks the user through the plan's six poses, says what
// to do, takes two samples a pose after the pose was held, and hands them
// to calibration, which stores the face. Every property changes on the main
// thread; the frames are analysed on a worker and awaited.
class EnrollModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(Phase phase READ phase NOTIFY phaseChanged)
    Q_PROPERTY(int stepIndex READ stepIndex NOTIFY stepIndexChanged)
    Q_PROPERTY(QString prompt READ prompt NOTIFY promptChanged)
    Q_PROPERTY(QString guidance READ guidance NOTIFY guidanceChanged)
    Q_PROPERTY(bool inPosition READ inPosition NOTIFY inPositionChanged)
    Q_PROPERTY(double progress READ progress NOTIFY progressChanged)
    Q_PROPERTY(QVariantMap pose READ pose NOTIFY poseChanged)
    Q_PROPERTY(QVariantMap result READ result NOTIFY phaseChanged)
    Q_PROPERTY(QString failure READ failure NOTIFY phaseChanged)
    // Once done: the prompts of the poses that timed out short of their
    // samples, which recaptureMissed() asks for again.
    Q_PROPERTY(QStringList missedPoses READ missedPoses NOTIFY phaseChanged)
    Q_PROPERTY(QString missedPosesText READ missedPosesText NOTIFY phaseChanged)
    Q_PROPERTY(tarvo::app::CameraFeed* feed READ feed CONSTANT)

  public:
    enum class Phase { Ready, Capturing, Done, Failed };
    Q_ENUM(Phase)

    static constexpr std::chrono::milliseconds holdDuration{500};
    static constexpr std::chrono::seconds stepTimeout{25};
    static constexpr std::chrono::milliseconds pause{120};
    static constexpr int missesToLoseHold = 4;
    static constexpr int unmeasurableToAccept = 13;

    explicit EnrollModel(Camera::SourceFactory source = {}, QObject* parent = nullptr);
    ~EnrollModel() override;

    Phase phase() const { return phase_; }
    int stepIndex() const { return stepIndex_; }
    QString prompt() const { return prompt_; }
    QString guidance() const { return guidance_; }
    bool inPosition() const { return inPosition_; }
    double progress() const { return progress_; }
    QVariantMap pose() const { return pose_; }
    // The calibration's figures once done; the error's text once failed.
    QVariantMap result() const { return result_; }
    QString failure() const { return failure_; }
    QStringList missedPoses() const;
    QString missedPosesText() const { return missedPoses().join(", "); }
    CameraFeed* feed() { return &feed_; }

    // Starts an enrollment storing the face under `name`; ignored while one runs.
    Q_INVOKABLE void begin(const QString& name);
    // Stops any enrollment, stores nothing more, and returns to ready.
    Q_INVOKABLE void cancel();
    // Once done with poses missed: asks for those alone again, then stores
    // the face with every pose taken; ignored otherwise.
    Q_INVOKABLE void recaptureMissed();

    // Tests shorten the step's deadline; the sound of a finished step is
    // the desktop's "complete" unless replaced.
    void setStepTimeout(std::chrono::milliseconds timeout) { stepTimeout_ = timeout; }
    void setChime(std::function<void()> chime) { chime_ = std::move(chime); }

  signals:
    void phaseChanged();
    void stepIndexChanged();
    void promptChanged();
    void guidanceChanged();
    void inPositionChanged();
    void progressChanged();
    void poseChanged();

  private:
    using Clock = std::chrono::steady_clock;
    // What one step keeps while it runs.
    struct StepState {
        std::size_t index = 0;
        Clock::time_point deadline;
        std::vector<Calibration::Sample> group;
        int taken = 0;
        int unmeasurable = 0;
        int misses = 0;
        std::deque<FaceEngine::Pose> recent;
        std::optional<Clock::time_point> holdStart;
    };

    void settle(std::uint64_t run, Clock::time_point since);
    void nextStep();
    void startStep(std::size_t index);
    void lookSoon();
    void look();
    void consider(const std::optional<FaceEngine::Detection>& detection);
    void miss();
    void hold(const FaceEngine::Detection& detection);
    void endStep();
    void commit();
    void setPhase(Phase phase);
    void setGuidance(const QString& text);
    void setInPosition(bool value);
    void setPose(const std::optional<FaceEngine::Pose>& pose);

    Phase phase_ = Phase::Ready;
    int stepIndex_ = 0;
    QString prompt_;
    QString guidance_;
    bool inPosition_ = false;
    double progress_ = 0;
    QVariantMap pose_;
    QVariantMap result_;
    QString failure_;

    // The run under way; work of an earlier run finds its number stale.
    std::uint64_t run_ = 0;
    std::string name_;
    std::map<EnrollmentPlan::Axis, double> signs_;
    std::optional<FaceEngine::Pose> baseline_;
    // The samples of each step of the plan, by step; the steps to run.
    std::array<std::vector<Calibration::Sample>, EnrollmentPlan::steps.size()> groups_;
    std::deque<std::size_t> queue_;
    int takenSoFar_ = 0;
    StepState step_;

    std::chrono::milliseconds stepTimeout_ = stepTimeout;
    std::function<void()> chime_;
    CameraFeed feed_;
    Worker work_{this, "tarvo.enroll"}; // analyses, warm-up, commit
};

} // namespace tarvo::app
