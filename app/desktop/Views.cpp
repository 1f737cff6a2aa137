#include "app/desktop/Views.h"

#include "core/agent/StoredPassword.h"
#include "core/face/EnrollmentPlan.h"
#include "core/store/Config.h"
#include "core/store/Enrollment.h"

#include <QVariantMap>
#include <algorithm>
#include <cmath>

namespace tarvo::desktop {

using Camera = app::AppModel::CameraStatus;

Views::Views(app::AppModel* model, QObject* parent) : QObject(parent), model_(model) {}

double Views::strictest() const {
    return Config::strictest();
}
double Views::loosest() const {
    return Config::loosest();
}
double Views::closestStranger() const {
    return Config::closestStranger();
}

double Views::axisFrom() const {
    return strictest() - 0.2 * (loosest() - strictest());
}
double Views::axisTo() const {
    double band = loosest() - strictest();
    return std::max(loosest() + 0.4 * band, closestStranger() + 0.1 * band);
}
int Views::enrollmentSteps() const {
    return int(EnrollmentPlan::steps.size());
}

Views::Step Views::onboardingStep(Camera camera, int sampleCount, bool started,
                                  bool passwordSaved) {
    if (sampleCount < 1 && !started) return Step::Welcome;
    if (camera != Camera::Usable) return Step::Welcome;
    if (sampleCount < 1) return Step::Enroll;
    return passwordSaved ? Step::LockScreen : Step::Password;
}

QString Views::faceDetail(Camera camera, int sampleCount) {
    if (camera == Camera::None) return tr("Enrolling needs a camera");
    if (camera == Camera::Denied)
        return tr("Tarvo may not use the camera — enrolling will show you what to do");
    if (sampleCount < 1) return tr("Enroll to use face unlock");
    return tr("%1 samples").arg(sampleCount);
}

QString Views::agentProblem(app::AppModel::AgentHost agentHost, const QString& error) {
    if (agentHost == app::AppModel::AgentHost::Stopped && !error.isEmpty())
        return tr("Not running: %1").arg(error);
    return tr("Not running");
}

double Views::thresholdFor(double sensitivity) {
    return Config::thresholdFor(sensitivity);
}

QString Views::stepText(double sensitivity) {
    double step = Config::snapped(sensitivity);
    QString words =
        step < 0.2   ? tr("Strict: only a close likeness unlocks. In a dim room you may type "
                            "your password more often, and Tarvo learns that room from it.")
        : step < 0.6 ? tr("Balanced: unlocks in most light, still well short of any stranger "
                          "the model was measured on.")
                     : tr("Convenient: unlocks in poor light too, nearer to where strangers "
                          "begin.");
    // A model without its measured figures has none to quote; its own row
    // says so.
    if (Config::strangerPairs() == 0) return words;
    return words + " " +
           tr("Threshold %1; the closest of %2 stranger pairs measured lies at %3.")
               .arg(Config::thresholdFor(step), 0, 'f', 2)
               .arg(Config::strangerPairs())
               .arg(Config::closestStranger(), 0, 'f', 2);
}

bool Views::dragSensitivity(double fraction) {
    double stepped = Config::snapped(std::clamp(fraction, 0.0, 1.0));
    if (!model_ || std::abs(stepped - model_->config().sensitivity) < 1e-9) return false;
    model_->setSensitivity(stepped);
    return true;
}

void Views::openSheet(Sheet sheet, const QString& face) {
    sheet_ = sheet;
    sheetFace_ = face;
    emit sheetChanged();
}

void Views::closeSheet() {
    openSheet(Sheet::NoSheet);
    if (model_) model_->refresh();
}

void Views::enrollIfCamera(const QString& face) {
    if (model_ && model_->ensureCamera()) openSheet(Sheet::EnrollSheet, face);
}

void Views::askRemoval(const QString& id, const QString& name) {
    removingId_ = id;
    removingName_ = name;
    emit removingChanged();
}

void Views::cancelRemoval() {
    askRemoval({}, {});
}

void Views::confirmRemoval() {
    const auto id = removingId_.toStdString();
    cancelRemoval();
    if (model_)
        model_->change(tr("Tarvo couldn't remove the face: %1"), [&] { Enrollment::remove(id); });
}

void Views::forgetPassword() {
    StoredPassword::clear();
    if (model_) model_->refresh();
}

} // namespace tarvo::desktop
