#include "app/AppModel.h"

#include "core/agent/StoredPassword.h"
#include "core/store/Enrollment.h"
#include "core/store/Paths.h"
#include "core/system/LockScreen.h"
#include "core/system/SystemInstaller.h"
#include "platform/system/LoginItem.h"
#include "sandbox/BuildTree.h"
#include "sandbox/Faces.h"
#include "sandbox/PamStack.h"
#include "sandbox/Sandbox.h"
#include "sandbox/Services.h"

#include <QSignalSpy>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

namespace tarvo::SystemInstaller {
void PrintTo(const Outcome& outcome, std::ostream* out) {
    *out << "kind " << static_cast<int>(outcome.kind) << " \"" << outcome.message << "\"";
}
} // namespace tarvo::SystemInstaller

namespace sb = tarvo::sandbox;
namespace fs = std::filesystem;
using namespace tarvo;
using app::AppModel;
using Outcome = SystemInstaller::Outcome;

namespace {

constexpr const char* password = "root's \"login\" password";
// A bundle whose path needs quoting in every script that names it.
const fs::path bundle = "/opt/Tarvo's app";

AppModel::Machine machine(const sb::AdminPrograms& admin) {
    AppModel::Machine machine;
    // The in-process agent only has to answer; it never scans here.
    machine.agent.analyze = [](const FaceEngine::Image&) -> FaceEngine::Detection {
        throw FaceEngine::EngineError::noFace();
    };
    machine.runners = {admin.sudo(), admin.pkexec(), /*asRoot=*/false};
    return machine;
}

// The model on the machine it reads and changes (sb::AppMachine), the
// replayed video as the camera.
class AppModelTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        world = new sb::AppMachine(password, bundle, sb::tree::helper, sb::tree::pamModule);
        admin = world->isolated() ? &world->admin() : nullptr;
    }
    static void TearDownTestSuite() { delete world; }

    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace";
        ASSERT_TRUE(world->isolated()) << "root, and yet no mount namespace of its own";
        ::setenv("TARVO_CAMERA", sb::Faces::franckVideo().c_str(), 1);
        admin->behave("accept", "ok");
        Enrollment::clear();
        StoredPassword::clear();
        (void)platform::LoginItem::setEnabled(Paths::configHome(), false, "");
        std::ofstream("/etc/pam.d/gdm-password") << "@include common-auth\n";
        model = std::make_unique<AppModel>(machine(*admin));
    }
    void TearDown() override { model.reset(); }

    // Runs a privileged action to its end.
    void act(void (AppModel::*action)()) {
        QSignalSpy finished(model.get(), &AppModel::actionFinished);
        (model.get()->*action)();
        EXPECT_TRUE(model->busy());
        ASSERT_TRUE(finished.wait(30000));
        EXPECT_FALSE(model->busy());
    }
    QString savePassword(const QString& text) {
        QSignalSpy done(model.get(), &AppModel::passwordSaveFinished);
        model->savePassword(text);
        EXPECT_TRUE(done.wait(30000));
        return done.value(0).value(0).toString();
    }
    static long threads() { return std::distance(fs::directory_iterator("/proc/self/task"), {}); }
    static void enroll() {
        Enrollment::add("Franck", {Descriptor{std::vector<float>(128, 0.0884f)}});
    }

    std::unique_ptr<AppModel> model;
    static inline sb::AppMachine* world = nullptr;
    static inline sb::AdminPrograms* admin = nullptr;
};

// The summary names the first thing missing, from a fresh system to face
// unlock on; off again forgets the password, and says it is off.
TEST_F(AppModelTest, FromAFreshSystemToFaceUnlockOn) {
    ::unsetenv("TARVO_CAMERA"); // and this machine has no camera
    model->bootstrap();
    EXPECT_EQ(model->statusSummary(), "No camera");
    EXPECT_FALSE(model->ensureCamera());
    EXPECT_EQ(model->actionError(), "No camera found. Plug one in.");
    ::setenv("TARVO_CAMERA", sb::Faces::franckVideo().c_str(), 1);
    EXPECT_TRUE(model->ensureCamera());
    EXPECT_EQ(model->statusSummary(), "No face enrolled");
    // Nobody asks for a refresh: the model sees the enrollment's file
    // appear, long before its slow look.
    QSignalSpy enrolled(model.get(), &AppModel::sampleCountChanged);
    enroll();
    ASSERT_TRUE(enrolled.wait(5000));
    EXPECT_EQ(model->statusSummary(), "Needs your login password");
    long idle = threads();
    EXPECT_EQ(savePassword(password), "");
    EXPECT_TRUE(QTest::qWaitFor([&] { return threads() == idle; }, 5000))
        << "the sealing's thread outlived its work: " << threads() << " threads, " << idle
        << " before";
    EXPECT_EQ(model->statusSummary(), "Lock screen not set up");

    act(&AppModel::turnOnLockScreen);
    EXPECT_FALSE(fs::exists(admin->log() / "pkexec.args")) << "the saved password, no prompt";
    // No user service manager here: the agent starts at login from an
    // autostart entry of its own; the app is not added to the login.
    EXPECT_FALSE(model->launchAtLogin());
    auto agentEntry =
        platform::LoginItem::entry(Paths::configHome(), platform::LoginItem::Which::agent);
    EXPECT_NE(sb::readFile(agentEntry).find("tarvoctl\" agent"), std::string::npos)
        << sb::readFile(agentEntry);
    EXPECT_EQ(model->statusSummary(), "Face unlock is on");
    // A model without its measured scale matches no face: not on.
    const std::string shipped = std::getenv("TARVO_MODEL");
    ::setenv("TARVO_MODEL", (sb::root() / "bare/FaceEmbedding.tflite").c_str(), 1);
    model->refresh();
    ::setenv("TARVO_MODEL", shipped.c_str(), 1);
    EXPECT_EQ(model->statusSummary(), "Face model missing");
    EXPECT_FALSE(model->status()->model()->fine());
    model->refresh();
    EXPECT_EQ(model->statusSummary(), "Face unlock is on");
    AppModel again(machine(*admin));
    again.bootstrap();
    EXPECT_EQ(again.agentHost(), AppModel::AgentHost::Background) << "this model's agent answers";
    EXPECT_TRUE(again.onboardingFinished()) << "a ready system skips onboarding";
    // On already (as after an administrator's sudo tarvoctl on --user):
    // turning it on again asks nobody for rights.
    admin->behave("reject", "refuse");
    act(&AppModel::turnOnLockScreen);
    EXPECT_EQ(model->actionError(), "");
    EXPECT_FALSE(fs::exists(admin->log() / "sudo.args"));
    EXPECT_FALSE(fs::exists(admin->log() / "pkexec.args"));

    admin->behave("reject", "ok");
    act(&AppModel::turnOffLockScreen);
    EXPECT_FALSE(model->lockScreenWired());
    EXPECT_FALSE(model->passwordSaved());
    EXPECT_EQ(model->statusSummary(), "Face unlock is off") << "not the forgotten password";
}

// Damaged files are said in the model's words, and the faces file is set
// aside by the model's own action, kept whole.
TEST_F(AppModelTest, DamagedFilesAreSaidAndTheFacesSetAside) {
    const std::string cut = R"({"version":2,"faces":[{"id":)";
    sb::writeFile(Paths::enrolled(), cut);
    sb::writeFile(StoredPassword::file(), "garbage");
    sb::writeFile(Paths::config(), "{");
    fs::remove(Paths::configLastGood());
    model->refresh();
    EXPECT_EQ(model->statusSummary(), "Your faces file is damaged");
    EXPECT_EQ(model->facesProblem(), "Your faces file is damaged");
    EXPECT_TRUE(model->facesDamaged());
    EXPECT_FALSE(model->passwordSaved());
    EXPECT_EQ(model->passwordProblem(),
              "The saved password can't be opened \xE2\x80\x94 enter it again");
    EXPECT_TRUE(model->blink()) << "the strictest settings stand in";
    EXPECT_EQ(model->settingsProblem(), "Your settings file is damaged: Tarvo uses the strictest "
                                        "settings (blink, sensitivity 0)");
    // The window's rows say what `tarvoctl status` says.
    auto* rows = model->status();
    EXPECT_FALSE(rows->faces()->fine());
    EXPECT_FALSE(rows->password()->met());
    EXPECT_EQ(rows->settings()->state(), model->settingsProblem());
    EXPECT_TRUE(rows->model()->fine()) << "fine when not listed";

    QSignalSpy changed(model.get(), &AppModel::fileProblemsChanged);
    auto aside = model->setAsideDamagedFaces();
    EXPECT_EQ(sb::readFile(aside.toStdString()), cut);
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(model->facesProblem(), "");
    EXPECT_EQ(model->statusSummary(), "No face enrolled");
    EXPECT_EQ(model->setAsideDamagedFaces(), "") << "nothing left to set aside";

    // A setting changed in the window over the damaged file: the file is
    // kept aside as it was, the change saved whole, the strictest rest kept.
    model->setSensitivity(0.51);
    EXPECT_EQ(model->actionError(), "");
    EXPECT_EQ(model->settingsProblem(), "");
    EXPECT_TRUE(rows->settings()->fine());
    EXPECT_DOUBLE_EQ(model->config().sensitivity, Config::snapped(0.51));
    EXPECT_TRUE(model->blink());
    auto damaged = sb::filesLike(Paths::config());
    ASSERT_EQ(damaged.size(), 1u);
    EXPECT_EQ(sb::readFile(damaged[0]), "{");
    for (const auto& file : {Paths::enrolled(), Paths::config()})
        for (const auto& kept : sb::filesLike(file))
            fs::remove(kept);
    fs::remove(Paths::config());
    fs::remove(Paths::configLastGood());
}

TEST_F(AppModelTest, TheAgentRunsHereInTheBackgroundOrNowhere) {
    {
        long before = threads();
        auto onlyLooks = machine(*admin);
        onlyLooks.hostsAgent = false; // as tarvoctl status
        AppModel status(onlyLooks);
        status.bootstrap();
        EXPECT_EQ(status.agentHost(), AppModel::AgentHost::Stopped);
        EXPECT_EQ(threads(), before) << "a model that only looks started a thread";
    }
    auto other = Agent::create(false, machine(*admin).agent);
    other->start();
    model->refresh();
    EXPECT_EQ(model->agentHost(), AppModel::AgentHost::Background);
    EXPECT_TRUE(model->agentRunning());
    other->stop();
    model->refresh();
    EXPECT_EQ(model->agentHost(), AppModel::AgentHost::App) << "takes over once the other goes";
    model.reset();

    // Everything in place, but the agent can't open its socket.
    enroll();
    StoredPassword::save(password);
    admin->behave("accept", "fail");
    model = std::make_unique<AppModel>(machine(*admin));
    act(&AppModel::turnOnLockScreen);
    model.reset();
    fs::create_directories(Paths::socket() / "in the way");
    model = std::make_unique<AppModel>(machine(*admin));
    model->refresh();
    EXPECT_EQ(model->agentHost(), AppModel::AgentHost::Stopped);
    EXPECT_NE(model->agentError(), "");
    EXPECT_EQ(model->statusSummary(), "Not running");
    fs::remove_all(Paths::socket());
    model->refresh();
    EXPECT_EQ(model->agentHost(), AppModel::AgentHost::App) << "retried on every refresh";
    act(&AppModel::turnOffLockScreen);
}

TEST_F(AppModelTest, ALockScreenThatNeedsRepairOrAnUpdate) {
    enroll();
    StoredPassword::save(password);
    act(&AppModel::turnOnLockScreen);
    EXPECT_FALSE(model->moduleOutdated());

    // The bundle's module is now another build than the installed one.
    auto bundled = bundle / "libexec/pam_tarvo.so";
    auto original = sb::readFile(bundled);
    auto other = original;
    auto id = other.find("TARVO-MODULE-ID:") + 16;
    ASSERT_LT(id, other.size());
    other.replace(id, 40, std::string(40, 'f'));
    std::ofstream(bundled) << other;
    model = std::make_unique<AppModel>(machine(*admin));
    model->refresh();
    EXPECT_FALSE(model->moduleOutdated()) << "wired only since this refresh";
    model->refresh();
    EXPECT_TRUE(model->moduleOutdated());
    admin->behave("reject", "ok");
    act(&AppModel::updateModule);
    EXPECT_TRUE(fs::exists(admin->log() / "sudo.args"));
    EXPECT_TRUE(fs::exists(admin->log() / "pkexec.args")) << "refused password, then the prompt";
    EXPECT_FALSE(model->moduleOutdated());
    EXPECT_EQ(sb::readFile(LockScreen::module), sb::readFile(bundled));
    std::ofstream(bundled) << original;

    // pkexec's refusals, one sentence of ours per cause; what tarvoctl acts on.
    StoredPassword::clear();
    struct Refusal {
        const char* behaviour;
        const char* said;
        Outcome::Kind kind;
    };
    for (auto [behaviour, said, kind] : {
             Refusal{"refuse",
                     "The administrator's password was refused, or this account may not make "
                     "this change.",
                     Outcome::Kind::refused},
             Refusal{"no-agent",
                     "No polkit authentication agent is running to ask for an administrator's "
                     "password.",
                     Outcome::Kind::notGranted},
             Refusal{"no-polkit",
                     "polkit isn't running, so no administrator can be asked (apt install "
                     "polkitd).",
                     Outcome::Kind::notGranted},
         }) {
        admin->behave("accept", behaviour);
        act(&AppModel::updateModule);
        EXPECT_FALSE(fs::exists(admin->log() / "sudo.args")) << "no password: the prompt only";
        EXPECT_EQ(model->actionError(), said);
        EXPECT_EQ(model->lastOutcome(), kind);
    }

    fs::permissions("/opt/tarvo", fs::perms::group_write, fs::perm_options::add);
    model->refresh();
    EXPECT_FALSE(model->lockScreenWired());
    EXPECT_NE(model->lockScreenProblem(), "");
    EXPECT_EQ(model->statusSummary(), "Needs your login password");
    StoredPassword::save(password);
    model->refresh();
    EXPECT_EQ(model->statusSummary(), "Lock screen needs repair");
    fs::permissions("/opt/tarvo", fs::perms::group_write, fs::perm_options::remove);
    admin->behave("accept", "ok");
    act(&AppModel::turnOffLockScreen);
}

TEST_F(AppModelTest, UninstallRemovesEverythingOfTheUserAndQuits) {
    StoredPassword::save(password);
    enroll();
    model->setOnboardingFinished(true);
    act(&AppModel::turnOnLockScreen);
    ASSERT_EQ(model->agentHost(), AppModel::AgentHost::App);

    admin->behave("reject", "dismiss");
    act(&AppModel::uninstallEverything);
    EXPECT_TRUE(fs::exists(Paths::enrolled())) << "a dismissed prompt removes nothing";

    QSignalSpy quit(model.get(), &AppModel::quitRequested);
    admin->behave("accept", "fail");
    act(&AppModel::uninstallEverything);
    EXPECT_EQ(quit.count(), 1);
    EXPECT_FALSE(fs::exists(Paths::dir()));
    EXPECT_FALSE(fs::exists(platform::LoginItem::entry(Paths::configHome())));
    EXPECT_FALSE(fs::exists(Paths::configHome() / "tarvo")) << "the app's own settings too";
    EXPECT_EQ(LockScreen::wiredModulePath(), std::nullopt);
    EXPECT_FALSE(fs::exists(Paths::socket())) << "the agent stopped";
    EXPECT_FALSE(fs::exists(bundle));
}

// The installer beneath the model: a refused saved password falls back to
// the prompt, and sudo's second prompt gets nothing more.
TEST_F(AppModelTest, ARefusedPasswordFallsBackToThePrompt) {
    StoredPassword::save(password);
    admin->behave("reject", "ok");
    SystemInstaller::Runners standIns{admin->sudo(), admin->pkexec(), /*asRoot=*/false};
    EXPECT_EQ(SystemInstaller::install(standIns), Outcome::done());
    EXPECT_TRUE(fs::exists(admin->log() / "pkexec.args"));
    EXPECT_EQ(sb::readFile(admin->log() / "sudo.args").find(password), std::string::npos);
    EXPECT_FALSE(fs::exists(admin->log() / "sudo.leaked")) << "sudo's second prompt got nothing";
    EXPECT_EQ(LockScreen::wiredModulePath(), LockScreen::module);

    admin->behave("reject", "dismiss");
    EXPECT_EQ(SystemInstaller::uninstall(standIns), Outcome::cancelled());
    EXPECT_EQ(LockScreen::wiredModulePath(), LockScreen::module) << "nothing changed";
    admin->behave("accept", "ok");
    EXPECT_EQ(SystemInstaller::uninstall(standIns), Outcome::done());
}

// Without sudo for the saved password and without pkexec, one sentence
// says what to do, and nothing is done; as root the helper runs itself.
TEST_F(AppModelTest, WithoutAWayToRightsOneSentenceSaysWhatToDo) {
    StoredPassword::save(password);
    admin->behave("reject", "ok");
    SystemInstaller::Runners none{"/nonexistent/sudo", "/nonexistent/pkexec", false};
    EXPECT_EQ(SystemInstaller::install(none, "alice"),
              Outcome::failed("Install pkexec (apt install pkexec), or ask an administrator to "
                              "run: sudo tarvoctl on --user alice"));
    SystemInstaller::Runners refusingSudo{admin->sudo(), "/nonexistent/pkexec", false};
    EXPECT_EQ(SystemInstaller::install(refusingSudo, "alice").message,
              "Install pkexec (apt install pkexec), or ask an administrator to run: sudo "
              "tarvoctl on --user alice");
    EXPECT_EQ(LockScreen::wiredModulePath(), std::nullopt);
    EXPECT_FALSE(fs::exists(LockScreen::module));

    SystemInstaller::Runners asRoot{"/nonexistent/sudo", "/nonexistent/pkexec", true};
    EXPECT_EQ(SystemInstaller::install(asRoot, "alice"), Outcome::done());
    EXPECT_EQ(LockScreen::wiredModulePath(), LockScreen::module);
    EXPECT_EQ(SystemInstaller::uninstall(asRoot, "alice"), Outcome::done());
}

TEST(SystemInstaller, OutsideABundleEveryActionRefuses) {
    // Outside the test's namespace: nothing must reach the machine's stacks.
    auto elsewhere = sb::root() / "not-a-bundle";
    fs::create_directories(elsewhere / "bin");
    ::setenv("TARVO_BUNDLE", elsewhere.c_str(), 1);
    EXPECT_FALSE(SystemInstaller::isBundled()) << SystemInstaller::helper();
    EXPECT_EQ(SystemInstaller::install(),
              Outcome::failed("Run Tarvo from its installation in /opt/tarvo-app — the helper it "
                              "installs is part of it."));
    EXPECT_EQ(
        SystemInstaller::purge(),
        Outcome::failed("Run Tarvo from its installation in /opt/tarvo-app to uninstall it."));
    ::setenv("TARVO_BUNDLE", "/usr/local", 1);
    EXPECT_FALSE(SystemInstaller::isBundled()) << "a shared prefix is never a bundle";
    ::unsetenv("TARVO_BUNDLE");
}

// Outside the test's namespace: sudo needs the machine's own PAM stack. The
// built helper (which refuses to run but as root) updates no module copy
// where there is none.
TEST(SystemInstaller, RunsTheHelperThroughTheRealSudo) {
    if (geteuid() != 0 || ::access("/usr/bin/sudo", X_OK) != 0)
        GTEST_SKIP() << "needs root and sudo";
    if (fs::exists(LockScreen::module)) GTEST_SKIP() << "this machine has a module copy";
    auto bundled = sb::root() / "sudo-bundle";
    fs::create_directories(bundled / "libexec");
    fs::copy_file(sb::tree::helper, bundled / "libexec/tarvo-helper");
    ::setenv("TARVO_BUNDLE", bundled.c_str(), 1);
    EXPECT_EQ(SystemInstaller::runHelper({"update-module"}, "not asked of root", "",
                                         {"sudo", "/nonexistent/pkexec", false}),
              Outcome::done());
    ::unsetenv("TARVO_BUNDLE");
    EXPECT_FALSE(fs::exists(LockScreen::module));
}

} // namespace
