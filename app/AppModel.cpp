#include "app/AppModel.h"

#include "app/Settings.h"
#include "core/agent/SocketClient.h"
#include "core/agent/StoredPassword.h"
#include "core/base/Secret.h"
#include "core/base/Text.h"
#include "core/store/Enrollment.h"
#include "core/store/ModelScale.h"
#include "core/store/Paths.h"
#include "core/store/ScanHistory.h"
#include "core/system/CameraCheck.h"
#include "core/system/Diagnostics.h"
#include "core/system/LockScreen.h"
#include "platform/system/LoginItem.h"

#include <QSettings>
#include <algorithm>
#include <filesystem>
#include <vector>

namespace tarvo::app {
namespace {

using Outcome = SystemInstaller::Outcome;

AppModel::CameraStatus statusOf(const CameraCheck::State& state) {
    switch (state.kind) {
    case CameraCheck::Kind::ready:
        return AppModel::CameraStatus::Usable;
    case CameraCheck::Kind::denied:
        return AppModel::CameraStatus::Denied;
    case CameraCheck::Kind::none:
    case CameraCheck::Kind::missing:
        break;
    }
    return AppModel::CameraStatus::None;
}

// The program the login item starts: the application in its bundle.
std::filesystem::path application() {
    return SystemInstaller::bundle() / "bin" / "tarvo";
}

bool passwordIsSaved() {
    return StoredPassword::isStored() && StoredPassword::state() != Damage::State::damaged;
}

// The window's own state (the onboarding seen), beside its login item.
QSettings windowState() {
    return QSettings(
        QString::fromStdString((Paths::configHome() / "tarvo" / "tarvo.conf").string()),
        QSettings::IniFormat);
}

} // namespace

AppModel::AppModel(QObject* parent) : AppModel(Machine{}, parent) {}

AppModel::AppModel(Machine machine, QObject* parent)
    : QObject(parent), camera_(statusOf(CameraCheck::current())),
      launchAtLogin_(platform::LoginItem::isEnabled(Paths::configHome())), config_(Config::load()),
      passwordSaved_(passwordIsSaved()), machine_(std::move(machine)) {
    // Every change the rows could show is announced as derivedChanged.
    connect(this, &AppModel::derivedChanged, this, [this] { status_.set(prerequisites()); });
    status_.set(prerequisites());
}

AppModel::~AppModel() {
    if (agent_) agent_->stop();
}

// Announced only when it changed: a refresh that finds everything as it was
// costs the views nothing.
template <typename T> void AppModel::publish(T& field, T value, void (AppModel::*changed)()) {
    if (field == value) return;
    field = std::move(value);
    emit(this->*changed)();
    emit derivedChanged();
}

bool AppModel::agentRunning() const {
    return agentHost_ == AgentHost::App || agentHost_ == AgentHost::Background;
}

std::vector<AppModel::Prerequisite> AppModel::prerequisites() const {
    using P = Prerequisite;
    using R = P::Remedy;
    std::vector<P> rows;
    const bool camera = camera_ == CameraStatus::Usable;
    rows.push_back({P::Kind::camera, true, camera,
                    camera                            ? "ready"
                    : camera_ == CameraStatus::Denied ? "not allowed"
                                                      : "none",
                    camera ? R::none : R::explained, cameraProblem_});
    rows.push_back({P::Kind::tpm, false, tpmProblem_.isEmpty(),
                    tpmProblem_.isEmpty() ? "ready" : "not usable",
                    tpmProblem_.isEmpty() ? R::none : R::explained, tpmProblem_});
    // A damaged faces file holds no sample: unmet until it is set aside
    // and a face enrolled again.
    const bool enrolled = sampleCount_ >= 1;
    if (!problems_.faces.empty())
        rows.push_back({P::Kind::faces, true, false, facesProblem(),
                        facesDamaged() ? R::setAsideFaces : R::enroll});
    else
        rows.push_back(
            {P::Kind::faces, true, enrolled,
             enrolled ? QString("%1 enrolled, %2 samples%3")
                            .arg(faces_.count())
                            .arg(sampleCount_)
                            .arg(learnedCount_ > 0 ? QString(", %1 learned").arg(learnedCount_)
                                                   : QString())
                      : "none",
             enrolled ? R::none : R::enroll});
    // A saved password whose age record is damaged is typed once at the
    // lock screen; one that can't be opened is saved again.
    rows.push_back({P::Kind::password, true, passwordSaved_,
                    !problems_.password.empty() ? passwordProblem()
                    : passwordSaved_            ? "saved"
                                                : "not saved",
                    !passwordSaved_               ? R::savePassword
                    : !problems_.password.empty() ? R::unlockWithPassword
                                                  : R::none});
    if (!problems_.settings.empty())
        rows.push_back({P::Kind::settings, false, false, settingsProblem(), R::saveSettings});
    // Without the model or its measured scale no face can match.
    if (!modelProblem_.isEmpty())
        rows.push_back({P::Kind::model, true, false, modelProblem_, R::reinstall});
    rows.push_back({P::Kind::lockScreen, true, lockScreenWired_,
                    lockScreenWired_                ? "wired"
                    : !lockScreenProblem_.isEmpty() ? "needs repair: " + lockScreenProblem_
                                                    : "not set up",
                    lockScreenWired_ ? R::none : R::turnOn});
    if (moduleOutdated_)
        rows.push_back(
            {P::Kind::module, false, false, "older than this installation's", R::updateModule});
    rows.push_back({P::Kind::unlocks, false, true,
                    ownFigures_.isEmpty() ? "none at the lock screen yet" : ownFigures_});
    rows.push_back({P::Kind::agent, true, agentRunning(),
                    agentRunning() ? "running" : "not running",
                    agentRunning() ? R::none : R::startAgent});
    return rows;
}

bool AppModel::isReady() const {
    const auto rows = prerequisites();
    return std::all_of(rows.begin(), rows.end(),
                       [](const Prerequisite& row) { return !row.required || row.met; });
}

QString AppModel::statusSummary() const {
    if (isReady()) return "Face unlock is on";
    if (!modelProblem_.isEmpty()) return "Face model missing";
    if (!problems_.faces.empty()) return facesProblem();
    if (camera_ == CameraStatus::Denied) return "Needs camera access";
    if (camera_ != CameraStatus::Usable) return "No camera";
    if (sampleCount_ < 1) return "No face enrolled";
    // Turned off after setup (which forgets the password): said as such.
    if (!lockScreenWired_ && lockScreenProblem_.isEmpty() && onboardingFinished())
        return "Face unlock is off";
    if (!passwordSaved_)
        return problems_.password.empty() ? "Needs your login password" : passwordProblem();
    if (lockScreenWired_) return "Not running";
    if (!lockScreenProblem_.isEmpty()) return "Lock screen needs repair";
    return "Lock screen not set up";
}

bool AppModel::onboardingFinished() const {
    return windowState().value("onboardingFinished", false).toBool();
}

void AppModel::setOnboardingFinished(bool finished) {
    windowState().setValue("onboardingFinished", finished);
    emit derivedChanged(); // the window reads it again
}

void AppModel::bootstrap() {
    if (!watching_) {
        watching_ = true;
        settle_.setSingleShot(true);
        settle_.setInterval(settleAfterChange);
        connect(&settle_, &QTimer::timeout, this, &AppModel::refresh);
        connect(&watcher_, &QFileSystemWatcher::directoryChanged, &settle_,
                qOverload<>(&QTimer::start));
    }
    refresh();
    if (isReady()) setOnboardingFinished(true);
    timer_.setInterval(refreshInterval);
    connect(&timer_, &QTimer::timeout, this, &AppModel::refresh, Qt::UniqueConnection);
    timer_.start();
}

// The folders whose entries make what the model shows (inotify, no
// thread): the user's data and settings, the login's autostart entries,
// the agent's socket, the lock screens' stacks and module, the bundle's
// module and the camera nodes. A folder made later (the data folder at
// the first enrollment) is seen through its parent and watched from the
// refresh that follows.
void AppModel::watch() {
    if (!watching_) return; // not bootstrapped: refreshed by hand
    namespace fs = std::filesystem;
    std::vector<fs::path> folders = {Paths::dir(),
                                     Paths::dir().parent_path(),
                                     Paths::config().parent_path(),
                                     Paths::configHome(),
                                     Paths::configHome() / "autostart",
                                     Paths::socket().parent_path(),
                                     Paths::socket().parent_path().parent_path(),
                                     "/etc/pam.d",
                                     LockScreen::moduleDir,
                                     fs::path(LockScreen::moduleDir).parent_path(),
                                     SystemInstaller::bundle() / "libexec",
                                     "/dev"};
    QStringList watched = watcher_.directories(), added;
    for (const auto& folder : folders) {
        auto name = QString::fromStdString(folder.string());
        std::error_code ec;
        if (!watched.contains(name) && !added.contains(name) && fs::is_directory(folder, ec))
            added << name;
    }
    if (!added.isEmpty()) watcher_.addPaths(added);
}

// In this order: the module check below reads the wiring of the refresh
// before, so an outdated module shows at the earliest on the second refresh
// after wiring.
void AppModel::refresh() {
    // One read of the file: the samples of every face are what a scan
    // compares with, and a file that can't be read holds none.
    auto faces = Enrollment::faces();
    int samples = 0;
    for (const auto& face : faces)
        samples += static_cast<int>(face.samples.size());
    publish(sampleCount_, samples, &AppModel::sampleCountChanged);
    int learned = 0;
    for (const auto& face : faces)
        learned += static_cast<int>(face.learned.size());
    publish(learnedCount_, learned, &AppModel::learnedCountChanged);
    auto figures = ScanHistory::summary(Enrollment::unixSeconds(std::chrono::system_clock::now()));
    auto said = ScanHistory::damaged() ? std::string(Damage::scanHistory) : figures.value_or("");
    publish(ownFigures_, QString::fromStdString(said), &AppModel::ownFiguresChanged);
    faces_.set(faces);
    auto camera = CameraCheck::current();
    auto cameraProblem = QString::fromStdString(camera.problem);
    auto status = statusOf(camera);
    auto config = Config::load();
    // Listing the cameras opens each: only at the first look and when
    // the camera or the choice may have changed.
    const bool listCameras = !camerasListed_ || cameraProblem != cameraProblem_ ||
                             status != camera_ || config.camera != config_.camera;
    if (cameraProblem != cameraProblem_) {
        cameraProblem_ = cameraProblem;
        emit cameraChanged();
        emit derivedChanged();
    }
    publish(camera_, status, &AppModel::cameraChanged);
    publish(config_, std::move(config), &AppModel::configChanged);
    if (listCameras) cameras_.set(CameraCheck::choices());
    camerasListed_ = true;
    // Looked at again only while it is a problem: it rarely changes, and
    // reaching the TPM costs more than the rest of a refresh.
    if (!tpmChecked_ || !tpmProblem_.isEmpty()) {
        auto tpm = StoredPassword::tpmProblem();
        auto problem = tpm ? QString(tpm->what()) : QString();
        if (!tpmChecked_ || problem != tpmProblem_) {
            tpmProblem_ = problem;
            emit passwordSavedChanged();
            emit derivedChanged();
        }
        tpmChecked_ = true;
    }
    publish(passwordSaved_, passwordIsSaved(), &AppModel::passwordSavedChanged);
    publish(problems_, FileProblems::now(), &AppModel::fileProblemsChanged);
    publish(moduleOutdated_,
            lockScreenWired_ && SystemInstaller::isBundled() &&
                LockScreen::moduleIsOutdated(SystemInstaller::bundledModule()),
            &AppModel::moduleOutdatedChanged);
    publish(launchAtLogin_, platform::LoginItem::isEnabled(Paths::configHome()),
            &AppModel::launchAtLoginChanged);
    if (auto path = LockScreen::wiredModulePath()) {
        auto problem = LockScreen::rootOnlyChainProblem(*path);
        publish(lockScreenProblem_, QString::fromStdString(problem.value_or("")),
                &AppModel::lockScreenProblemChanged);
        publish(lockScreenWired_, !problem.has_value(), &AppModel::lockScreenWiredChanged);
    } else {
        publish(lockScreenProblem_, QString(), &AppModel::lockScreenProblemChanged);
        publish(lockScreenWired_, false, &AppModel::lockScreenWiredChanged);
    }
    if (auto model = QString::fromStdString(ModelScale::problem().value_or(""));
        model != modelProblem_) {
        modelProblem_ = model;
        emit derivedChanged();
    }
    ensureAgent();
    watch();
}

// A stopped in-process agent is tried again on every refresh; a running one
// is never stopped here. When a background agent goes away, the next
// refresh starts this one.
void AppModel::ensureAgent() {
    if (!machine_.hostsAgent) {
        bool answers = SocketClient::request("STATUS", Paths::socket().string(), 1.0).has_value();
        return setAgentHost(answers ? AgentHost::Background : AgentHost::Stopped,
                            answers ? QString()
                                    : QStringLiteral("no agent answers on ") +
                                          QString::fromStdString(Paths::socket().string()));
    }
    if (!agent_ || !agent_->isRunning()) {
        try {
            // Made only here: a model that only looks has no agent, and no
            // thread of one.
            if (!agent_) agent_ = Agent::create(false, machine_.agent);
            agent_->start();
        } catch (const Agent::AgentError&) {
            return setAgentHost(AgentHost::Background, {});
        } catch (const std::exception& e) {
            return setAgentHost(AgentHost::Stopped, QString::fromStdString(e.what()));
        }
    }
    setAgentHost(AgentHost::App, {});
}

void AppModel::setAgentHost(AgentHost host, const QString& error) {
    if (error != agentError_) {
        agentError_ = error;
        emit agentHostChanged();
        emit derivedChanged();
    }
    publish(agentHost_, host, &AppModel::agentHostChanged);
}

// Linux asks nobody: a camera may be used when its device opens for this
// user. Asking again is looking again.
bool AppModel::ensureCamera() {
    if (camera_ == CameraStatus::Usable) return true;
    refresh();
    if (camera_ == CameraStatus::Usable) return true;
    setActionError(cameraProblem_);
    return false;
}

void AppModel::savePassword(const QString& password) {
    actions_.run(
        [password = password.toStdString()]() mutable {
            QString message;
            try {
                StoredPassword::save(password);
            } catch (const std::exception& e) {
                message = QString::fromStdString(e.what());
            }
            wipe(password);
            return message;
        },
        [this](const QString& message) {
            refresh();
            emit passwordSaveFinished(message);
        });
}

void AppModel::setLaunchAtLogin(bool on) {
    if (auto done = platform::LoginItem::setEnabled(Paths::configHome(), on, application()); !done)
        setActionError("The desktop did not allow Tarvo to change its login item: " +
                       QString::fromStdString(done.error().text));
    refresh();
    // The switch the user moved goes to what is there, even when nothing
    // changed (the change was refused).
    emit launchAtLoginChanged();
}

QString AppModel::setAsideDamagedFaces() {
    QString aside;
    try {
        if (auto path = Enrollment::setAsideDamaged())
            aside = QString::fromStdString(path->string());
    } catch (const std::exception& e) {
        setActionError(QString::fromStdString(e.what()));
    }
    refresh();
    return aside;
}

int AppModel::forgetLearned() {
    std::size_t forgotten = 0;
    try {
        forgotten = Enrollment::forgetLearned();
    } catch (const std::exception& e) {
        setActionError(QString::fromStdString(e.what()));
    }
    refresh();
    return static_cast<int>(forgotten);
}

void AppModel::change(const QString& failure, const std::function<void()>& apply) {
    QString failed;
    try {
        apply();
    } catch (const std::exception& error) {
        failed = failure.arg(error.what());
    }
    setActionError(failed);
    refresh();
    // The control the user moved settles on what is stored: a refused save,
    // or a value the settings snap to, may equal what was announced before.
    emit configChanged();
}

static QString settingsUnsaved() {
    return AppModel::tr("Tarvo couldn't save its settings: %1");
}

void AppModel::setSensitivity(double sensitivity) {
    change(settingsUnsaved(), [&] { settings::setSensitivity(sensitivity); });
}

void AppModel::setBlink(bool on) {
    change(settingsUnsaved(), [&] {
        settings::setLiveness(on ? Config::Liveness::blink : Config::Liveness::attention);
    });
}

void AppModel::setWarmWithDisplay(bool on) {
    change(settingsUnsaved(), [&] { settings::setWarmWithDisplay(on); });
}

void AppModel::chooseCamera(int choice) {
    const std::string name = cameras_.nameAt(choice).toStdString();
    change(settingsUnsaved(), [&] { settings::setCamera(name); });
}

void AppModel::turnOnLockScreen() {
    runPrivileged(Action::turnOn);
}
void AppModel::turnOffLockScreen() {
    runPrivileged(Action::turnOff);
}
void AppModel::uninstallEverything() {
    runPrivileged(Action::uninstall);
}

void AppModel::updateModule() {
    if (SystemInstaller::isBundled()) return runPrivileged(Action::update);
    setBusy(true);
    setActionError("Run Tarvo from its installation in /opt/tarvo-app.");
    refresh();
    setBusy(false);
    emit actionFinished();
}

void AppModel::runPrivileged(Action action) {
    setBusy(true);
    setActionError({});
    actions_.run(
        [action, runners = machine_.runners] {
            switch (action) {
            case Action::turnOn:
                return SystemInstaller::install(runners);
            case Action::turnOff:
                return SystemInstaller::uninstall(runners);
            case Action::update:
                return SystemInstaller::updateModule(runners);
            case Action::uninstall:
                break;
            }
            // The service goes first, while its unit is still there; a purge
            // that doesn't take brings it back.
            bool agentAtLogin = AgentHome::enabled();
            if (agentAtLogin) (void)AgentHome::disable();
            auto outcome = SystemInstaller::purge(runners);
            if (agentAtLogin && outcome.kind != Outcome::Kind::done) (void)AgentHome::enable();
            return outcome;
        },
        [this, action](const Outcome& outcome) { finish(action, outcome); });
}

void AppModel::finish(Action action, const Outcome& outcome) {
    lastOutcome_ = outcome.kind;
    switch (outcome.kind) {
    case Outcome::Kind::failed:
    case Outcome::Kind::notGranted:
    case Outcome::Kind::refused:
        setActionError(QString::fromStdString(outcome.message));
        break;
    case Outcome::Kind::cancelled:
        if (action == Action::uninstall) {
            setBusy(false);
            emit actionFinished();
            return;
        }
        break;
    case Outcome::Kind::done:
        // The agent runs from now on wherever it lives; the app is not
        // added to the login's autostart unless the user asks.
        if (auto home = action == Action::turnOn    ? AgentHome::enable()
                        : action == Action::turnOff ? AgentHome::disable()
                                                    : AgentHome::Outcome{true, {}};
            !home.done)
            setActionError(QString::fromStdString(home.text));
        if (action == Action::turnOff) StoredPassword::clear();
        if (action == Action::uninstall) return cleanUpAfterUninstall();
        break;
    }
    refresh();
    setBusy(false);
    emit actionFinished();
}

// Everything of this user's goes, each step whatever the last one did; then
// the application quits.
void AppModel::cleanUpAfterUninstall() {
    if (agent_) agent_->stop();
    (void)AgentHome::disable();
    (void)platform::LoginItem::setEnabled(Paths::configHome(), false, application());
    try {
        Enrollment::clear();
    } catch (const std::exception&) {
    }
    std::error_code ec;
    std::filesystem::remove_all(Paths::dir(), ec);
    // The app's own settings, and their folder once nothing else is in it.
    auto own = Paths::configHome() / "tarvo";
    std::filesystem::remove(own / "tarvo.conf", ec);
    std::filesystem::remove(own, ec);
    emit quitRequested();
    setBusy(false);
    emit actionFinished();
}

void AppModel::copyDiagnostics() {
    publish(collectingDiagnostics_, true, &AppModel::collectingDiagnosticsChanged);
    reports_.run(
        [source = machine_.diagnosticsCamera] { return Diagnostics::report(true, source); },
        [this](const std::string& report) {
            if (machine_.clipboard) machine_.clipboard->setText(report);
            publish(diagnosticsCopied_, true, &AppModel::diagnosticsCopiedChanged);
            QTimer::singleShot(copiedFor, this, [this] {
                publish(diagnosticsCopied_, false, &AppModel::diagnosticsCopiedChanged);
                publish(collectingDiagnostics_, false, &AppModel::collectingDiagnosticsChanged);
            });
        });
}

} // namespace tarvo::app
