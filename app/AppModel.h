#pragma once

#include "app/CamerasModel.h"
#include "app/FacesModel.h"
#include "app/Prerequisites.h"
#include "app/Worker.h"
#include "core/agent/Agent.h"
#include "core/agent/FileProblems.h"
#include "core/store/Config.h"
#include "core/system/AgentHome.h"
#include "core/system/SystemInstaller.h"
#include "platform/app/Clipboard.h"

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>

namespace tarvo::app {

// The application's one source of truth about face unlock: what is
// enrolled, the camera, the saved password, the lock screen's wiring, where
// the agent runs and the settings, re-read when a file behind them changes;
// and every action that changes the system. Properties change on the main
// thread only and notify only when their value does. Sealing, the report
// and the privileged actions run on workers.
class AppModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(int sampleCount READ sampleCount NOTIFY sampleCountChanged)
    // Samples learned from the user's rooms, over every face.
    Q_PROPERTY(int learnedCount READ learnedCount NOTIFY learnedCountChanged)
    // How face unlock did at this user's lock screen lately, in a
    // sentence; empty before the first unlock after a scan.
    Q_PROPERTY(QString ownFigures READ ownFigures NOTIFY ownFiguresChanged)
    Q_PROPERTY(tarvo::app::FacesModel* faces READ faces CONSTANT)
    Q_PROPERTY(bool lockScreenWired READ lockScreenWired NOTIFY lockScreenWiredChanged)
    Q_PROPERTY(QString lockScreenProblem READ lockScreenProblem NOTIFY lockScreenProblemChanged)
    Q_PROPERTY(CameraStatus camera READ camera NOTIFY cameraChanged)
    // What to do about the camera, in one sentence; empty when it can be used.
    Q_PROPERTY(QString cameraProblem READ cameraProblem NOTIFY cameraChanged)
    // Every camera, for choosing.
    Q_PROPERTY(tarvo::app::CamerasModel* cameras READ cameras CONSTANT)
    // Each prerequisite as the window's status rows show it.
    Q_PROPERTY(tarvo::app::PrerequisiteStates* status READ status CONSTANT)
    Q_PROPERTY(AgentHost agentHost READ agentHost NOTIFY agentHostChanged)
    Q_PROPERTY(QString agentError READ agentError NOTIFY agentHostChanged)
    Q_PROPERTY(bool launchAtLogin READ launchAtLogin NOTIFY launchAtLoginChanged)
    // This process runs the agent: no user service manager runs to host it.
    Q_PROPERTY(bool hostsAgent READ hostsAgent CONSTANT)
    // The settings the window shows, as the config file holds them.
    Q_PROPERTY(double sensitivity READ sensitivity NOTIFY configChanged)
    Q_PROPERTY(bool blink READ blink NOTIFY configChanged)
    Q_PROPERTY(bool warmWithDisplay READ warmWithDisplay NOTIFY configChanged)
    // The chosen camera's stable name; empty for the first colour one.
    Q_PROPERTY(QString chosenCamera READ chosenCamera NOTIFY configChanged)
    // What is wrong with the stored files (FileProblems), each empty when
    // nothing is. A damaged faces file can be set aside (facesDamaged).
    Q_PROPERTY(QString facesProblem READ facesProblem NOTIFY fileProblemsChanged)
    Q_PROPERTY(bool facesDamaged READ facesDamaged NOTIFY fileProblemsChanged)
    Q_PROPERTY(QString settingsProblem READ settingsProblem NOTIFY fileProblemsChanged)
    Q_PROPERTY(QString passwordProblem READ passwordProblem NOTIFY fileProblemsChanged)
    // A sealed password that decodes is saved; a damaged one is not.
    Q_PROPERTY(bool passwordSaved READ passwordSaved NOTIFY passwordSavedChanged)
    // Why no password can be sealed here (no TPM, one this user may not
    // use), in a sentence; empty when one can.
    Q_PROPERTY(QString tpmProblem READ tpmProblem NOTIFY passwordSavedChanged)
    Q_PROPERTY(bool moduleOutdated READ moduleOutdated NOTIFY moduleOutdatedChanged)
    Q_PROPERTY(bool busy READ busy NOTIFY busyChanged)
    Q_PROPERTY(QString actionError READ actionError NOTIFY actionErrorChanged)
    Q_PROPERTY(
        bool collectingDiagnostics READ collectingDiagnostics NOTIFY collectingDiagnosticsChanged)
    Q_PROPERTY(bool diagnosticsCopied READ diagnosticsCopied NOTIFY diagnosticsCopiedChanged)
    Q_PROPERTY(bool agentRunning READ agentRunning NOTIFY derivedChanged)
    Q_PROPERTY(bool isReady READ isReady NOTIFY derivedChanged)
    Q_PROPERTY(QString statusSummary READ statusSummary NOTIFY derivedChanged)
    Q_PROPERTY(bool onboardingFinished READ onboardingFinished WRITE setOnboardingFinished)

  public:
    enum class CameraStatus { None, Usable, Denied };
    Q_ENUM(CameraStatus)
    enum class AgentHost {
        Stopped,    // no agent answers; agentError says why the in-process one failed
        App,        // the agent runs in this process
        Background, // another agent of this user answers on the socket
    };
    Q_ENUM(AgentHost)

    // The files the model shows are watched; this slow look covers what no
    // file tells (an agent that died without removing its socket).
    static constexpr std::chrono::seconds refreshInterval{30};
    // Changes arrive in bursts (a temporary file, then its rename): one
    // refresh after the last.
    static constexpr std::chrono::milliseconds settleAfterChange{200};
    static constexpr std::chrono::seconds copiedFor{2};

    // What the model takes from the machine; each defaults to the real one.
    struct Machine {
        Agent::Environment agent;
        SystemInstaller::Runners runners;
        platform::Clipboard* clipboard = nullptr; // not owned; none: the report goes nowhere
        Camera::SourceFactory diagnosticsCamera;
        // Whether this process runs the agent: only where no systemd user
        // manager runs to host it as a service. A host that only looks (the
        // command line, the app beside the service) reports whether some
        // agent answers and never starts one of its own.
        bool hostsAgent = !AgentHome::userService();
    };

    explicit AppModel(QObject* parent = nullptr);
    explicit AppModel(Machine machine, QObject* parent = nullptr);
    ~AppModel() override;

    int sampleCount() const { return sampleCount_; }
    int learnedCount() const { return learnedCount_; }
    QString ownFigures() const { return ownFigures_; }
    FacesModel* faces() { return &faces_; }
    const FacesModel* faces() const { return &faces_; }
    bool lockScreenWired() const { return lockScreenWired_; }
    QString lockScreenProblem() const { return lockScreenProblem_; }
    CameraStatus camera() const { return camera_; }
    QString cameraProblem() const { return cameraProblem_; }
    CamerasModel* cameras() { return &cameras_; }
    const CamerasModel* cameras() const { return &cameras_; }
    PrerequisiteStates* status() { return &status_; }
    AgentHost agentHost() const { return agentHost_; }
    QString agentError() const { return agentError_; }
    bool launchAtLogin() const { return launchAtLogin_; }
    QString tpmProblem() const { return tpmProblem_; }
    bool hostsAgent() const { return machine_.hostsAgent; }
    const Config& config() const { return config_; }
    double sensitivity() const { return config_.sensitivity; }
    bool blink() const { return config_.liveness == Config::Liveness::blink; }
    bool warmWithDisplay() const { return config_.warmWithDisplay; }
    QString chosenCamera() const { return QString::fromStdString(config_.camera); }
    bool passwordSaved() const { return passwordSaved_; }
    QString facesProblem() const { return QString::fromStdString(problems_.faces); }
    bool facesDamaged() const { return problems_.facesDamaged; }
    QString settingsProblem() const { return QString::fromStdString(problems_.settings); }
    QString passwordProblem() const { return QString::fromStdString(problems_.password); }
    bool moduleOutdated() const { return moduleOutdated_; }
    bool busy() const { return busy_; }
    QString actionError() const { return actionError_; }
    // How the last administrator's action ended, for callers that act on it.
    SystemInstaller::Outcome::Kind lastOutcome() const { return lastOutcome_; }
    bool collectingDiagnostics() const { return collectingDiagnostics_; }
    bool diagnosticsCopied() const { return diagnosticsCopied_; }

    // What face unlock needs, in the order `tarvoctl status` lists it. Face
    // unlock is ready when every required one is met.
    using Prerequisite = app::Prerequisite;
    std::vector<Prerequisite> prerequisites() const;

    bool agentRunning() const;
    bool isReady() const;
    QString statusSummary() const;

    // Kept in the application's settings, not published: once true, the
    // app opens on its main window.
    bool onboardingFinished() const;
    void setOnboardingFinished(bool finished);

    // Once at start: a refresh, then the watches and the slow look.
    Q_INVOKABLE void bootstrap();
    Q_INVOKABLE void refresh();
    // Whether the camera may be used now, asking again; if not, actionError
    // says what to do.
    Q_INVOKABLE bool ensureCamera();
    // Checks and seals the password; passwordSaveFinished tells the outcome.
    Q_INVOKABLE void savePassword(const QString& password);
    Q_INVOKABLE void setLaunchAtLogin(bool on);
    // Renames a damaged faces file to one that says so, beside it, so that
    // enrolling starts afresh; its new path, or empty when there was none
    // to set aside (actionError says why when it failed).
    Q_INVOKABLE QString setAsideDamagedFaces();
    // Forgets every learned sample, keeping what was enrolled; how many
    // were forgotten (actionError says why when it failed).
    Q_INVOKABLE int forgetLearned();
    Q_INVOKABLE void turnOnLockScreen();
    Q_INVOKABLE void turnOffLockScreen();
    Q_INVOKABLE void updateModule();
    Q_INVOKABLE void uninstallEverything();
    Q_INVOKABLE void copyDiagnostics();
    // The settings the window changes (app/Settings.h); a file that
    // can't be saved shows in actionError, and the control moves back.
    Q_INVOKABLE void setSensitivity(double sensitivity);
    Q_INVOKABLE void setBlink(bool on);
    Q_INVOKABLE void setWarmWithDisplay(bool on);
    // The camera at `choice` in the camera menu.
    Q_INVOKABLE void chooseCamera(int choice);
    // A change the window makes to the settings or the faces, ended like an
    // action: what `apply` throws shows in actionError as `failure` (its %1
    // the reason), and the refresh moves a control the user moved back to
    // what the files hold.
    void change(const QString& failure, const std::function<void()>& apply);

  signals:
    void sampleCountChanged();
    void learnedCountChanged();
    void ownFiguresChanged();
    void lockScreenWiredChanged();
    void lockScreenProblemChanged();
    void cameraChanged();
    void agentHostChanged();
    void launchAtLoginChanged();
    void configChanged();
    void passwordSavedChanged();
    void fileProblemsChanged();
    void moduleOutdatedChanged();
    void busyChanged();
    void actionErrorChanged();
    void collectingDiagnosticsChanged();
    void diagnosticsCopiedChanged();
    void derivedChanged();
    // An empty message: the password is saved.
    void passwordSaveFinished(const QString& message);
    // The uninstall is complete: the application should quit.
    void quitRequested();
    // A privileged action has ended (busy is false again).
    void actionFinished();

  private:
    enum class Action { turnOn, turnOff, update, uninstall };
    template <typename T> void publish(T& field, T value, void (AppModel::*changed)());
    void ensureAgent();
    void setAgentHost(AgentHost host, const QString& error);
    void watch();
    void runPrivileged(Action action);
    void finish(Action action, const SystemInstaller::Outcome& outcome);
    void cleanUpAfterUninstall();
    // Announced each time, the same text too: the window shows a new
    // error where it can be seen.
    void setActionError(const QString& text) {
        actionError_ = text;
        emit actionErrorChanged();
    }
    void setBusy(bool busy) { publish(busy_, busy, &AppModel::busyChanged); }

    int sampleCount_ = 0;
    int learnedCount_ = 0;
    QString ownFigures_;
    FacesModel faces_;
    CamerasModel cameras_;
    PrerequisiteStates status_;
    // Why no face can match (the model or its scale missing); empty when one can.
    QString modelProblem_;
    bool camerasListed_ = false;
    bool lockScreenWired_ = false;
    QString lockScreenProblem_;
    CameraStatus camera_;
    QString cameraProblem_;
    AgentHost agentHost_ = AgentHost::Stopped;
    QString agentError_;
    bool launchAtLogin_;
    QString tpmProblem_;
    bool tpmChecked_ = false;
    Config config_;
    bool passwordSaved_;
    FileProblems problems_;
    bool moduleOutdated_ = false;
    bool busy_ = false;
    QString actionError_;
    SystemInstaller::Outcome::Kind lastOutcome_ = SystemInstaller::Outcome::Kind::done;
    bool collectingDiagnostics_ = false;
    bool diagnosticsCopied_ = false;

    Machine machine_;
    std::shared_ptr<Agent> agent_;
    QTimer timer_;
    QFileSystemWatcher watcher_;
    QTimer settle_;
    bool watching_ = false;
    // Sealing and the privileged actions, one after the other; the report
    // beside them, so that an administrator prompt left open doesn't hold
    // it up.
    Worker actions_{this, "tarvo.actions"};
    Worker reports_{this, "tarvo.report"};
};

} // namespace tarvo::app
