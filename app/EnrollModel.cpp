#include "app/EnrollModel.h"

#include "core/store/Enrollment.h"
#include "platform/app/Sound.h"

#include <QTimer>

namespace tarvo::app {
namespace Plan = EnrollmentPlan;

namespace {

QVariantMap variant(const Calibration::Result& result) {
    return {{"samples", qint64(result.samples)}, {"noiseWorst", result.noiseWorst},
            {"noiseMean", result.noiseMean},     {"coverageWorst", result.coverageWorst},
            {"threshold", result.threshold},     {"openEyeAspectRatio", result.openEyeAspectRatio},
            {"estimated", result.estimated}};
}

// A result of calibration, or the text of why it failed.
struct Committed {
    std::optional<Calibration::Result> result;
    QString error;
};

} // namespace

EnrollModel::EnrollModel(Camera::SourceFactory source, QObject* parent)
    : QObject(parent), chime_([] { platform::Sound::play("complete"); }), feed_(std::move(source)) {
}

EnrollModel::~EnrollModel() = default;

void EnrollModel::begin(const QString& name) {
    if (phase_ == Phase::Capturing) return;
    // A faces file that can't be read would refuse the new face at the
    // end: that is said before anyone turns their head.
    if (auto problem = Enrollment::problem()) {
        failure_ = QString::fromStdString(problem->what());
        return setPhase(Phase::Failed);
    }
    setPhase(Phase::Capturing);
    auto run = ++run_;
    name_ = name.toStdString();
    signs_.clear();
    baseline_.reset();
    groups_ = {};
    queue_.clear();
    for (std::size_t i = 0; i < Plan::steps.size(); ++i)
        queue_.push_back(i);
    takenSoFar_ = 0;
    // Let the camera settle first: its first frames are dark or blurred.
    settle(run, Clock::now());
}

// Twelve frames and 0.7 s, or whatever came within 5 s; watched from here
// rather than waited for on a worker, which would hold the camera.
void EnrollModel::settle(std::uint64_t run, Clock::time_point since) {
    auto waited = Clock::now() - since;
    bool settled =
        feed_.camera().framesDelivered() >= 12 && waited >= std::chrono::milliseconds(700);
    if (settled || waited >= std::chrono::seconds(5)) return nextStep();
    QTimer::singleShot(std::chrono::milliseconds(50), this, [this, run, since] {
        if (run == run_) settle(run, since);
    });
}

void EnrollModel::cancel() {
    ++run_;
    setPhase(Phase::Ready);
    stepIndex_ = 0;
    emit stepIndexChanged();
    prompt_.clear();
    emit promptChanged();
    setGuidance({});
    setInPosition(false);
    progress_ = 0;
    emit progressChanged();
    setPose(std::nullopt);
}

void EnrollModel::nextStep() {
    if (queue_.empty()) {
        setInPosition(false);
        prompt_.clear();
        emit promptChanged();
        setGuidance({});
        return commit();
    }
    auto index = queue_.front();
    queue_.pop_front();
    startStep(index);
}

void EnrollModel::startStep(std::size_t index) {
    const auto& step = Plan::steps[index];
    step_ = StepState{};
    step_.index = index;
    step_.taken = static_cast<int>(groups_[index].size());
    step_.group = std::move(groups_[index]);
    step_.deadline = Clock::now() + stepTimeout_;
    stepIndex_ = static_cast<int>(index);
    emit stepIndexChanged();
    prompt_ = QString::fromUtf8(step.prompt);
    emit promptChanged();
    setGuidance(QString::fromUtf8(step.hint));
    setInPosition(false);
    lookSoon();
}

void EnrollModel::lookSoon() {
    if (std::size_t(step_.taken) >= Plan::samplesPerStep || Clock::now() >= step_.deadline)
        return endStep();
    QTimer::singleShot(pause, this, [this, run = run_] {
        if (run == run_) look();
    });
}

// The camera's latest frame only: the flow looks about eight times a
// second, whatever the camera delivers.
void EnrollModel::look() {
    auto frame = feed_.camera().latestFrame();
    if (!frame) return lookSoon();
    work_.run(
        [frame = *frame]() -> std::optional<FaceEngine::Detection> {
            try {
                return FaceEngine::analyze(frame, true);
            } catch (const std::exception&) {
                return std::nullopt;
            }
        },
        [this, run = run_](const std::optional<FaceEngine::Detection>& detection) {
            if (run != run_) return;
            consider(detection);
            lookSoon();
        });
}

void EnrollModel::consider(const std::optional<FaceEngine::Detection>& detection) {
    if (!detection) {
        if (++step_.misses >= missesToLoseHold) {
            setGuidance("Can't see your face");
            setPose(std::nullopt);
            setInPosition(false);
            step_.holdStart.reset();
        }
        return;
    }
    step_.recent.push_back(detection->pose);
    if (step_.recent.size() > 5) step_.recent.pop_front();
    auto pose = Plan::smoothed({step_.recent.begin(), step_.recent.end()});
    setPose(pose);

    const auto& step = Plan::steps[step_.index];
    auto axis = Plan::axis(step.target);
    std::optional<double> previousSign;
    if (axis && signs_.count(*axis)) previousSign = signs_[*axis];
    auto verdict =
        Plan::judge(pose, step.target, previousSign, step_.holdStart.has_value(), baseline_);
    switch (verdict) {
    case Plan::Verdict::good:
        setGuidance(QStringLiteral("Hold it\u2026"));
        break;
    case Plan::Verdict::notFarEnough:
        setGuidance(QString::fromUtf8(step.hint));
        break;
    case Plan::Verdict::wrongDirection:
        setGuidance("Other way");
        break;
    case Plan::Verdict::unmeasurable:
        // A pose the detector can't measure (no pitch, say) is taken as it
        // comes once it has been so for long enough.
        if (++step_.unmeasurable >= unmeasurableToAccept) {
            setGuidance("Hold still");
            setInPosition(true);
            return hold(*detection);
        }
        setGuidance(QString::fromUtf8(step.hint));
        break;
    }
    setInPosition(verdict == Plan::Verdict::good);
    if (verdict != Plan::Verdict::good) return miss();

    if (step.target.kind == Plan::Target::Kind::away)
        if (auto offset = Plan::offset(*axis, pose, baseline_)) signs_[*axis] = *offset;
    if (step.target.kind == Plan::Target::Kind::centered && !baseline_) baseline_ = pose;
    step_.misses = 0;
    hold(*detection);
}

// Up to three frames out of position keep a hold going; the fourth ends it.
void EnrollModel::miss() {
    if (++step_.misses < missesToLoseHold) return;
    step_.holdStart.reset();
    setInPosition(false);
}

void EnrollModel::hold(const FaceEngine::Detection& detection) {
    auto now = Clock::now();
    if (!step_.holdStart) {
        step_.holdStart = now;
        return;
    }
    if (now - *step_.holdStart < holdDuration) return;
    step_.group.push_back(Calibration::Sample::from(detection));
    ++takenSoFar_;
    progress_ = double(takenSoFar_) / double(Plan::samples);
    emit progressChanged();
    ++step_.taken;
    step_.holdStart.reset();
}

void EnrollModel::endStep() {
    groups_[step_.index] = std::move(step_.group);
    if (chime_) chime_();
    nextStep();
}

QStringList EnrollModel::missedPoses() const {
    QStringList missed;
    if (phase_ != Phase::Done) return missed;
    for (std::size_t i = 0; i < Plan::steps.size(); ++i)
        if (groups_[i].size() < Plan::samplesPerStep)
            missed << QString::fromUtf8(Plan::steps[i].prompt);
    return missed;
}

void EnrollModel::recaptureMissed() {
    if (phase_ != Phase::Done) return;
    queue_.clear();
    for (std::size_t i = 0; i < Plan::steps.size(); ++i)
        if (groups_[i].size() < Plan::samplesPerStep) queue_.push_back(i);
    if (queue_.empty()) return;
    ++run_;
    setPhase(Phase::Capturing);
    nextStep();
}

void EnrollModel::commit() {
    std::vector<std::vector<Calibration::Sample>> groups;
    for (const auto& group : groups_)
        if (!group.empty()) groups.push_back(group);
    work_.run(
        [groups, name = name_]() -> Committed {
            try {
                return {Calibration::commit(groups, name), {}};
            } catch (const std::exception& e) {
                return {std::nullopt, QString::fromStdString(e.what())};
            }
        },
        [this, run = run_](const Committed& committed) {
            if (run != run_) return;
            if (committed.result) {
                result_ = variant(*committed.result);
                setPhase(Phase::Done);
            } else {
                failure_ = committed.error;
                setPhase(Phase::Failed);
            }
        });
}

void EnrollModel::setPhase(Phase phase) {
    phase_ = phase;
    emit phaseChanged();
}

void EnrollModel::setGuidance(const QString& text) {
    guidance_ = text;
    emit guidanceChanged();
}

void EnrollModel::setInPosition(bool value) {
    inPosition_ = value;
    emit inPositionChanged();
}

void EnrollModel::setPose(const std::optional<FaceEngine::Pose>& pose) {
    pose_.clear();
    if (pose) {
        if (pose->yaw) pose_["yaw"] = *pose->yaw;
        if (pose->pitch) pose_["pitch"] = *pose->pitch;
        if (pose->roll) pose_["roll"] = *pose->roll;
    }
    emit poseChanged();
}

} // namespace tarvo::app
