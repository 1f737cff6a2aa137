// The desktop app's real views, drawn offscreen over the real model: found
// by object name, clicked and typed into through QTest, checked against
// what the model and the files then hold. Each state worth seeing is also
// saved as a screenshot under the build folder.
#include "app/desktop/Shell.h"
#include "app/desktop/Views.h"
#include "core/agent/SocketClient.h"
#include "core/agent/StoredPassword.h"
#include "core/face/Calibration.h"
#include "core/store/Config.h"
#include "core/store/Enrollment.h"
#include "core/store/Paths.h"
#include "core/store/ScanHistory.h"
#include "sandbox/BuildTree.h"
#include "sandbox/Faces.h"
#include "sandbox/PamStack.h"
#include "sandbox/Sandbox.h"
#include "sandbox/Services.h"

#include <QClipboard>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QGuiApplication>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace sb = tarvo::sandbox;
namespace fs = std::filesystem;
using namespace tarvo;
using desktop::Shell;
using desktop::Views;

namespace {

constexpr const char* password = "root's login password";
const fs::path bundle = "/opt/tarvo-app";

// The window on the machine its model reads and changes (sb::AppMachine).
class DesktopTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        world = new sb::AppMachine(password, bundle, sb::tree::helper, sb::tree::pamModule);
        admin = world->isolated() ? &world->admin() : nullptr;
        fs::create_directories(sb::tree::screenshots);
    }
    static void TearDownTestSuite() { delete world; }
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace";
        ASSERT_TRUE(world->isolated()) << "root, and yet no mount namespace of its own";
        admin->behave("accept", "ok");
        Enrollment::clear();
        StoredPassword::clear();
        fs::remove_all(Paths::configHome() / "tarvo");
        std::ofstream("/etc/pam.d/gdm-password") << "@include common-auth\n";
        viewWarnings.clear();
        qInstallMessageHandler(recordViewWarnings);
    }
    void TearDown() override {
        shell.reset();
        qInstallMessageHandler(nullptr);
        EXPECT_TRUE(viewWarnings.isEmpty()) << viewWarnings.join('\n').toStdString();
    }
    // A warning of the views (a binding that failed, a type error) is a
    // fault of the test that showed it, even where the page still draws.
    static void recordViewWarnings(QtMsgType type, const QMessageLogContext& context,
                                   const QString& message) {
        if (message.contains("qrc:/qt/qml/Tarvo/")) viewWarnings << message;
        qt_message_output(type, context, message);
    }

    // The app as a user starts it, with the camera `camera` replays.
    void open(const fs::path& camera, bool setUp = false, bool atLogin = false) {
        if (camera.empty())
            ::unsetenv("TARVO_CAMERA"); // and this machine has no camera
        else
            ::setenv("TARVO_CAMERA", camera.c_str(), 1);
        app::AppModel::Machine machine;
        machine.runners = {admin->sudo(), admin->pkexec(), /*asRoot=*/false};
        shell = std::make_unique<Shell>(machine);
        if (setUp) shell->model().setOnboardingFinished(true);
        ASSERT_TRUE(shell->load());
        shell->start(atLogin);
        // Tall enough that the main view needs no scrolling to be clicked.
        if (setUp) window()->resize(520, 1280);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window()));
    }
    QQuickWindow* window() { return shell->window(); }

    // The item named `name`, wherever it sits: in the window, a dialog or a sheet.
    QQuickItem* item(const QString& name) {
        std::function<QQuickItem*(QQuickItem*)> search = [&](QQuickItem* at) -> QQuickItem* {
            if (at->objectName() == name) return at;
            for (auto* child : at->childItems())
                if (auto* found = search(child)) return found;
            return nullptr;
        };
        QQuickItem* root = window()->contentItem();
        while (root->parentItem())
            root = root->parentItem();
        return search(root);
    }
    // Whether the item or popup named `name` is on screen.
    bool shows(const QString& name) {
        QObject* found = item(name);
        if (!found) found = window()->findChild<QObject*>(name);
        return found && found->property("visible").toBool() &&
               found->property("opacity").toDouble() > 0;
    }
    bool eventually(const std::function<bool()>& condition, int ms = 10000) {
        return QTest::qWaitFor(condition, ms);
    }
    QString text(const QString& name) {
        auto* found = item(name);
        return found ? found->property("text").toString() : QString();
    }
    void click(const QString& name) {
        auto* target = item(name);
        ASSERT_TRUE(target) << name.toStdString();
        ASSERT_TRUE(eventually([&] { return target->isVisible() && target->isEnabled(); }))
            << name.toStdString() << " never became clickable";
        QPointF centre = target->mapToScene({target->width() / 2, target->height() / 2});
        QTest::mouseClick(window(), Qt::LeftButton, {}, centre.toPoint());
    }
    void type(const QString& name, const QString& text) {
        auto* field = item(name);
        ASSERT_TRUE(field) << name.toStdString();
        field->setProperty("text", "");
        field->forceActiveFocus();
        for (QChar c : text)
            QTest::keyClick(window(), c.toLatin1());
    }
    // Drags on `name` from `from` to `to`, in the item's own coordinates.
    void drag(const QString& name, QPointF from, QPointF to) {
        auto* target = item(name);
        ASSERT_TRUE(target);
        QTest::mousePress(window(), Qt::LeftButton, {}, target->mapToScene(from).toPoint());
        QTest::mouseMove(window(), target->mapToScene(to).toPoint());
        QTest::mouseRelease(window(), Qt::LeftButton, {}, target->mapToScene(to).toPoint());
    }
    static std::int64_t modified(const fs::path& file) {
        struct stat st {};
        if (::stat(file.c_str(), &st) != 0) return -1;
        return std::int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    }
    void screenshot(const std::string& name) {
        QTest::qWait(300); // animations settle
        EXPECT_TRUE(window()->grabWindow().save(
            QString::fromStdString(std::string(sb::tree::screenshots) + "/" + name + ".png")));
    }

    std::unique_ptr<Shell> shell;
    static inline sb::AppMachine* world = nullptr;
    static inline sb::AdminPrograms* admin = nullptr;
    static inline QStringList viewWarnings;
};

// A new user's path: the first-run pages from a fresh folder to face
// unlock on, and the lock screen's root VERIFY then answered by the app's
// own agent with the password.
TEST_F(DesktopTest, ANewUserSetsUpFaceUnlockFromTheWindow) {
    open(sb::Faces::writeTurns(sb::root() / "turns"));
    ASSERT_TRUE(eventually([&] { return shows("welcomePage"); }));
    screenshot("onboarding-1-welcome");
    click("getStarted");
    ASSERT_TRUE(eventually([&] { return shows("enrollPage"); }));
    click("enrollButton");
    ASSERT_TRUE(eventually([&] { return shows("prompt") && text("prompt") != ""; }));
    screenshot("onboarding-2-enroll");
    ASSERT_TRUE(eventually([&] { return text("enrollButton") == "Continue"; }, 90000))
        << text("failure").toStdString();
    click("enrollButton");
    ASSERT_TRUE(eventually([&] { return shows("passwordPage"); }));
    EXPECT_FALSE(item("continueButton")->isEnabled()) << "nothing typed";

    type("passwordField", "not my password");
    click("continueButton");
    ASSERT_TRUE(eventually([&] { return shows("passwordProblem"); }, 30000));
    EXPECT_EQ(text("passwordField"), "") << "a refused password is not left to be sent again";
    screenshot("onboarding-3-password-wrong");

    // The first try at the lock screen is refused; Try Again succeeds.
    admin->behave("reject", "refuse");
    type("passwordField", password);
    click("continueButton");
    ASSERT_TRUE(eventually([&] { return shows("lockScreenPage") && shows("tryAgain"); }, 30000));
    ASSERT_TRUE(eventually([&] { return shows("actionError"); }, 30000));
    screenshot("onboarding-4-lock-screen-failed");
    admin->behave("accept", "ok");
    click("tryAgain");
    ASSERT_TRUE(eventually([&] { return shows("home"); }, 30000)) << "onboarding ends once wired";
    EXPECT_EQ(text("summary"), "Face unlock is on");
    screenshot("main-ready");

    auto reply = SocketClient::request("VERIFY", Paths::socket().string(), 6.0);
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, "OK 726f6f742773206c6f67696e2070617373776f7264") << "the password, in hex";

    // Started at login with everything ready: the tray icon, and no scene
    // held for a window nobody opened; opened, then closed, the same.
    Shell atLogin;
    ASSERT_TRUE(atLogin.load());
    atLogin.start(true);
    EXPECT_TRUE(atLogin.model().isReady());
    EXPECT_EQ(atLogin.window(), nullptr);
    atLogin.Activate();
    ASSERT_NE(atLogin.window(), nullptr);
    EXPECT_TRUE(atLogin.window()->isVisible());
    atLogin.window()->close();
    EXPECT_TRUE(eventually([&] { return atLogin.window() == nullptr; }));
}

// A camera this user may not open (here: a device node on a mount that
// allows none, which refuses even root) keeps setup on the welcome page,
// saying what to do.
TEST_F(DesktopTest, ACameraThatRefusesKeepsSetupOnItsPage) {
    if (fs::exists("/dev/video0")) GTEST_SKIP() << "this machine has a camera";
    ASSERT_EQ(::mknod("/dev/video0", S_IFCHR | 0600, makedev(81, 0)), 0);
    ASSERT_EQ(::mount("/dev/video0", "/dev/video0", nullptr, MS_BIND, nullptr), 0);
    ASSERT_EQ(::mount(nullptr, "/dev/video0", nullptr, MS_REMOUNT | MS_BIND | MS_NODEV, nullptr),
              0);
    open("");
    ASSERT_TRUE(eventually([&] { return shows("welcomePage"); }));
    click("getStarted");
    ASSERT_TRUE(eventually([&] { return text("welcomeTitle") == "Allow camera access"; }));
    EXPECT_TRUE(text("actionError").contains("video group")) << text("actionError").toStdString();
    screenshot("onboarding-0-camera-denied");
    ::umount("/dev/video0");
    ::unlink("/dev/video0");
}

// The main window's rows for each state of the model, and what its
// controls write.
TEST_F(DesktopTest, TheMainWindowShowsEachStateAndWhatFixesIt) {
    open("", true, true); // started at login, but nothing is ready: the window
    ASSERT_TRUE(eventually([&] { return shows("home"); }));
    EXPECT_EQ(item("lockScreenRow")->property("problem").toString(), "Lock screen is off");
    EXPECT_EQ(text("faceDetail"), "Enrolling needs a camera");
    EXPECT_EQ(item("cameraRow")->property("problem").toString(), "No camera found. Plug one in.");
    EXPECT_FALSE(item("testButton")->isEnabled());
    EXPECT_FALSE(shows("agentRow")) << "the app's own agent answers";
    screenshot("main-nothing-set-up");

    // A damaged faces file is said, and its button sets it aside, kept.
    sb::writeFile(Paths::enrolled(), R"({"version":2)");
    shell->model().refresh();
    ASSERT_TRUE(eventually([&] { return shows("facesProblemRow"); }));
    click("setAsideFaces");
    EXPECT_TRUE(eventually([&] { return !shows("facesProblemRow"); }));
    ASSERT_EQ(sb::filesLike(Paths::enrolled()).size(), 1u);
    fs::remove(sb::filesLike(Paths::enrolled())[0]);

    // A model without its measured scale is said where the settings are.
    const std::string shipped = std::getenv("TARVO_MODEL");
    ::setenv("TARVO_MODEL", (sb::root() / "bare/FaceEmbedding.tflite").c_str(), 1);
    shell->model().refresh();
    ASSERT_TRUE(eventually([&] { return shows("modelRow"); }));
    EXPECT_EQ(text("summary"), "Face model missing");
    screenshot("main-model-missing");
    ::setenv("TARVO_MODEL", shipped.c_str(), 1);
    shell->model().refresh();
    EXPECT_TRUE(eventually([&] { return !shows("modelRow"); }));

    // The name alert proposes the first free name; spaces only do nothing.
    Enrollment::add("me", {Descriptor{std::vector<float>(128, 0.0884f)}});
    Enrollment::add("Face 2", {Descriptor{std::vector<float>(128, 0.0884f)}});
    shell->model().refresh();
    click("addFace");
    ASSERT_TRUE(eventually([&] { return shows("nameField"); }));
    EXPECT_EQ(text("nameField"), "Face 3");
    type("nameField", "   ");
    click("nameContinue");
    QTest::qWait(200);
    EXPECT_FALSE(shows("sheet"));

    // What was learned shows with the user's own figures, and goes alone.
    auto me = Enrollment::faces()[0];
    Enrollment::setLearned(me.id, {{me.samples[0], 1.8e9, 0.2f}});
    for (auto outcome : {ScanHistory::Outcome::unlocked, ScanHistory::Outcome::passwordAfterMiss})
        ScanHistory::add({Enrollment::unixSeconds(std::chrono::system_clock::now()), outcome, 0.4});
    shell->model().refresh();
    ASSERT_TRUE(eventually([&] { return shows("learnedRow"); }));
    EXPECT_EQ(text("ownFigures"),
              "Unlocked by face 1 of 2 times in the last 30 days, median 0.4 s.");
    auto strictWords = text("stepMeaning");
    screenshot("main-learned");
    click("forgetLearned");
    EXPECT_TRUE(eventually([&] { return !shows("learnedRow"); }));
    EXPECT_EQ(Enrollment::faces()[0].samples, me.samples);

    // The sensitivity: one write per step of the scale, however far the
    // drag within it; the ends of the band hold it; its words change along it.
    auto* scale = item("sensitivityScale");
    double strict = scale->property("strict").toDouble(),
           loose = scale->property("loose").toDouble();
    double middle = strict + 0.32 * (loose - strict); // in the middle of a step
    drag("sensitivityScale", {middle, 30}, {middle, 30});
    ASSERT_TRUE(eventually([&] { return modified(Paths::config()) > 0; }));
    EXPECT_NEAR(Config::load().sensitivity, 0.32, 1e-9);
    auto written = modified(Paths::config());
    drag("sensitivityScale", {middle, 30}, {middle + 1, 30});
    EXPECT_EQ(modified(Paths::config()), written) << "within the step: nothing written";
    drag("sensitivityScale", {middle, 30}, {scale->width(), 30});
    EXPECT_NEAR(Config::load().sensitivity, 1.0, 1e-9);
    EXPECT_TRUE(eventually([&] { return text("stepMeaning") != strictWords; }));
    std::ofstream(Paths::config()) << R"({"sensitivity": 7})";
    shell->model().refresh();
    EXPECT_NEAR(item("knob")->x() + 9, loose, 1) << "out of range: at the band's end";
    auto* stranger = item("strangerLabel");
    EXPECT_LE(stranger->x() + stranger->width() / 2, scale->width() - 46 + 1);

    // A setting that can't be saved says so, and its switch goes back.
    fs::remove(Paths::config());
    fs::create_directory(Paths::config());
    shell->model().refresh();
    click("blinkSwitch");
    EXPECT_TRUE(
        eventually([&] { return text("actionError").contains("couldn't save its settings"); }));
    EXPECT_FALSE(item("blinkSwitch")->property("checked").toBool());
    screenshot("main-setting-not-saved");
    fs::remove(Paths::config());
    click("blinkSwitch");
    EXPECT_TRUE(eventually([&] { return !shows("actionError"); })) << "the next change took";

    // Diagnostics: "Checking…", then "Copied" for two seconds.
    // The report may be ready before the click returns, so catch the
    // moment "Checking…" shows rather than look for it afterwards.
    bool checked = false;
    auto seen = QObject::connect(item("checking"), &QQuickItem::visibleChanged, window(),
                                 [&] { checked = checked || shows("checking"); });
    click("copyDiagnostics");
    ASSERT_TRUE(eventually([&] { return shows("copied"); }, 30000));
    QObject::disconnect(seen);
    EXPECT_TRUE(checked);
    EXPECT_TRUE(QGuiApplication::clipboard()->text().contains("\"camera\""));
    EXPECT_TRUE(eventually([&] { return !shows("copied") && shows("copyDiagnostics"); }, 4000));

    // The password through its sheet, then a lock screen wired on an
    // unsafe folder needs repair.
    click("addPassword");
    type("sheetPasswordField", password);
    click("savePassword");
    ASSERT_TRUE(eventually([&] { return !shows("sheet"); }, 30000));
    EXPECT_TRUE(StoredPassword::isStored());
    QSignalSpy finished(&shell->model(), &app::AppModel::actionFinished);
    click("lockScreenButton");
    ASSERT_TRUE(finished.wait(30000));
    EXPECT_EQ(text("lockScreenButton"), "Turn Off…");
    fs::permissions("/opt/tarvo", fs::perms::group_write, fs::perm_options::add);
    shell->model().refresh();
    EXPECT_TRUE(item("lockScreenRow")
                    ->property("problem")
                    .toString()
                    .startsWith("Lock screen needs repair: "));
    EXPECT_EQ(text("lockScreenButton"), "Repair…");
    screenshot("main-needs-repair");
    fs::permissions("/opt/tarvo", fs::perms::group_write, fs::perm_options::remove);
}

// The sheets: an enrollment closed mid-capture lets go of the camera; the
// test recognizes the enrolled man.
TEST_F(DesktopTest, SheetsHoldTheCameraOnlyWhileOpen) {
    Calibration::commit(sb::Faces::stillsOfFranck(), "Franck");
    open(sb::Faces::franckVideo(), true);
    ASSERT_TRUE(eventually([&] { return shows("home"); }));
    auto cameraOn = [] { return !sb::capturePrograms().empty(); };
    click("addFace");
    ASSERT_TRUE(eventually([&] { return shows("nameField"); }));
    click("nameContinue");
    ASSERT_TRUE(eventually([&] { return shows("enrollPanel"); }));
    click("enrollButton");
    ASSERT_TRUE(eventually([&] { return shows("prompt") && text("prompt") != ""; }, 20000));
    EXPECT_TRUE(cameraOn());
    screenshot("main-enrolling");
    EXPECT_FALSE(shows("closeSheet")) << "the panel's Cancel is the one way out while capturing";
    QTest::keyClick(window(), Qt::Key_Escape);
    EXPECT_TRUE(eventually([&] { return !shows("sheet"); }));
    EXPECT_TRUE(eventually([&] { return !cameraOn(); })) << "the camera is still on";
    EXPECT_EQ(shell->model().faces()->count(), 1) << "nothing stored";

    click("testButton");
    ASSERT_TRUE(eventually([&] { return shows("testPanel"); }));
    ASSERT_TRUE(eventually([&] { return shows("testVerdict"); }, 30000));
    EXPECT_EQ(text("testVerdict"), "Recognized");
    screenshot("main-test-matched");
    click("closeSheet");
    ASSERT_TRUE(eventually([&] { return !shows("sheet"); }));

    // A face's own row re-enrolls it, and removes it after asking.
    click("reenrollFace");
    ASSERT_TRUE(eventually([&] { return shows("sheetTitle"); }));
    EXPECT_EQ(text("sheetTitle"), "Re-enroll Franck");
    click("closeSheet");
    ASSERT_TRUE(eventually([&] { return !shows("sheet"); }));
    click("removeFace");
    ASSERT_TRUE(eventually([&] { return shows("confirmRemove"); }));
    click("confirmRemove");
    EXPECT_TRUE(eventually([&] { return shell->model().faces()->count() == 0; }));
    EXPECT_TRUE(Enrollment::faces().empty());
}

// The real program on an X display with a session bus of its own: one
// instance owns the bus name and hosts the agent, a second start hands
// over to it and ends, and Quit stops the agent (its socket goes).
TEST_F(DesktopTest, TheProgramRunsOnceAndQuitsCleanly) {
    std::string display;
    for (int n = 60; n < 99 && display.empty(); ++n)
        if (!fs::exists("/tmp/.X11-unix/X" + std::to_string(n))) display = ":" + std::to_string(n);
    sb::Process x({"Xvfb", display, "-nolisten", "tcp", "-screen", "0", "1280x720x24"});
    ASSERT_TRUE(eventually([&] { return fs::exists("/tmp/.X11-unix/X" + display.substr(1)); }));
    auto start = [&] {
        // Xvfb has no GPU: no GL driver to load (and unload before the
        // leak check of sanitized builds can name what it kept).
        return sb::startAs(geteuid(), {sb::tree::app},
                           {{"DISPLAY", display},
                            {"QT_QPA_PLATFORM", "xcb"},
                            {"QT_XCB_GL_INTEGRATION", "none"},
                            {"QT_QUICK_BACKEND", "software"}});
    };
    auto bus = QDBusConnection::sessionBus();
    pid_t first = start();
    ASSERT_TRUE(eventually(
        [&] { return bus.interface()->isServiceRegistered(Shell::busName).value(); }, 20000));
    ASSERT_TRUE(eventually([&] { return fs::exists(Paths::socket()); }, 20000));

    EXPECT_EQ(sb::waitFor(start()), 0) << "the second start hands over and ends";
    EXPECT_EQ(::waitpid(first, nullptr, WNOHANG), 0) << "the first runs on";

    QDBusInterface running(Shell::busName, "/", Shell::busName, bus);
    running.call("Quit");
    EXPECT_EQ(sb::waitFor(first), 0);
    EXPECT_FALSE(fs::exists(Paths::socket())) << "the agent stopped with the app";
}

} // namespace
