#pragma once

#include "app/AppModel.h"

#include <QObject>
#include <QPointer>

namespace tarvo::desktop {

// What the views derive from the model and the few settings they change
// themselves, in C++ so that the rules are tested without drawing them.
// Every change re-reads the model, which is the only source of state.
class Views : public QObject {
    Q_OBJECT
    Q_PROPERTY(double strictest READ strictest CONSTANT)
    Q_PROPERTY(double loosest READ loosest CONSTANT)
    Q_PROPERTY(double closestStranger READ closestStranger CONSTANT)
    Q_PROPERTY(double axisFrom READ axisFrom CONSTANT)
    Q_PROPERTY(double axisTo READ axisTo CONSTANT)
    Q_PROPERTY(int enrollmentSteps READ enrollmentSteps CONSTANT)
    // The main window's open sheet, and the face its enrollment enrolls.
    Q_PROPERTY(Sheet sheet READ sheet NOTIFY sheetChanged)
    Q_PROPERTY(QString sheetFace READ sheetFace NOTIFY sheetChanged)
    // The face the window asks about removing; both empty when it doesn't.
    Q_PROPERTY(QString removingId READ removingId NOTIFY removingChanged)
    Q_PROPERTY(QString removingName READ removingName NOTIFY removingChanged)

  public:
    enum class Step { Welcome, Enroll, Password, LockScreen };
    Q_ENUM(Step)
    // The main window's sheets, one open at a time.
    enum class Sheet { NoSheet, EnrollSheet, TestSheet, PasswordSheet };
    Q_ENUM(Sheet)

    explicit Views(app::AppModel* model, QObject* parent = nullptr);

    double strictest() const;
    double loosest() const;
    double closestStranger() const;
    // The stretch of thresholds the scale draws: a fifth of the band
    // before it, two fifths after, and room for the closest stranger.
    double axisFrom() const;
    double axisTo() const;
    int enrollmentSteps() const;
    Sheet sheet() const { return sheet_; }
    QString sheetFace() const { return sheetFace_; }
    QString removingId() const { return removingId_; }
    QString removingName() const { return removingName_; }

    // One sheet at a time, opened from anywhere in the window (a face's
    // row, a button); closing one refreshes the model.
    Q_INVOKABLE void openSheet(Sheet sheet, const QString& face = {});
    Q_INVOKABLE void closeSheet();
    // Opens the enrollment of `face` when the camera may be used; if not,
    // the model's actionError says what to do.
    Q_INVOKABLE void enrollIfCamera(const QString& face);
    // Asks before removing a face; confirmRemoval removes it.
    Q_INVOKABLE void askRemoval(const QString& id, const QString& name);
    Q_INVOKABLE void cancelRemoval();
    Q_INVOKABLE void confirmRemoval();

    // The onboarding page the model's state asks for.
    // A new user starts on the welcome page (here the camera usually
    // opens before anyone has asked); without the camera nothing after it
    // can work.
    Q_INVOKABLE static Step onboardingStep(app::AppModel::CameraStatus camera, int sampleCount,
                                           bool started, bool passwordSaved);
    Q_INVOKABLE static QString faceDetail(app::AppModel::CameraStatus camera, int sampleCount);
    Q_INVOKABLE static QString agentProblem(app::AppModel::AgentHost agentHost,
                                            const QString& error);
    Q_INVOKABLE static double thresholdFor(double sensitivity);
    // What a step of the scale means, in words that change along it, and
    // where it lies on the model's scale.
    Q_INVOKABLE static QString stepText(double sensitivity);

    // The sensitivity for a drag at `fraction` of the band, in the scale's
    // steps; written (and the model refreshed) only when the step changes.
    Q_INVOKABLE bool dragSensitivity(double fraction);
    Q_INVOKABLE void forgetPassword();

  signals:
    void sheetChanged();
    void removingChanged();

  private:
    QPointer<app::AppModel> model_;
    Sheet sheet_ = Sheet::NoSheet;
    QString sheetFace_, removingId_, removingName_;
};

} // namespace tarvo::desktop
