// Face unlock on real lockers that run PAM as the user: i3lock under Xvfb
// and swaylock under headless sway, their Debian stacks wired by the built
// tarvo-helper, the built module installed at its real path, and alice's
// real agent (replay camera, enrolled from the stills, password sealed on
// swtpm). Keys come from xdotool and wtype. Everything lives in a mount
// namespace of the test's own; alice is made a real user there, so that
// pam_unix's helper can check her typed password.
#include "core/agent/SocketClient.h"
#include "core/agent/StoredPassword.h"
#include "core/store/Paths.h"
#include "sandbox/BuildTree.h"
#include "sandbox/Faces.h"
#include "sandbox/PamStack.h"
#include "sandbox/Sandbox.h"
#include "sandbox/Services.h"
#include "tools/Rooms.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>
#include <security/pam_appl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
namespace sb = tarvo::sandbox;
using tarvo::sandbox::eventually;
using namespace tarvo;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* password = "correct horse battery staple";

int run(const std::string& command) {
    return sb::run(command).status;
}

// Runs argv as alice with `env` set; the child's pid.
pid_t spawnAlice(const std::vector<std::string>& argv,
                 const std::map<std::string, std::string>& env) {
    return sb::startAs(sb::aliceUid, argv, env);
}

// Whether a process has exited: gone, or a zombie nobody has reaped yet.
bool exited(pid_t pid) {
    std::string stat = sb::readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    return close == std::string::npos || stat.compare(close + 2, 1, "Z") == 0;
}

// Alice's real agent, `tarvoctl agent` run as her, in front of whatever
// show() names; her password sealed and Franck enrolled from his stills.
class AliceAgent {
  public:
    AliceAgent() {
        auto said = sb::outputAs(sb::aliceUid, [] {
            try {
                StoredPassword::save(password);
                sb::Faces::enrollAsGuided("Franck");
                sb::Faces::someoneElse(Paths::dir());
            } catch (const std::exception& error) {
                return std::string(error.what());
            }
            return std::string("ready");
        });
        if (said != "ready") throw std::runtime_error("alice could not be set up: " + said);
    }
    ~AliceAgent() { stop(); }
    // Restarts the agent with the camera replaying `scene`, and waits
    // until it has its models ready, as a long-running agent has.
    void show(const std::string& scene, std::map<std::string, std::string> env = {}) {
        stop();
        env["TARVO_CAMERA"] = scene;
        pid_ = spawnAlice({sb::tree::tarvoctl, "agent"}, env);
        ++starts_;
        // Ready once it says so; unlocked, it holds no face models yet:
        // the first VERIFY loads them, as on a locker that sends no signal.
        auto ready = [&] {
            auto text = sb::readFile(log());
            return sb::occurrences(text, " ready\n") - sb::occurrences(text, "models ready\n") >=
                   size_t(starts_);
        };
        if (!eventually(ready, 20s)) throw std::runtime_error("alice's agent did not start");
    }
    static fs::path log() { return sb::home("alice") / ".local/share/tarvo/tarvo.log"; }
    static fs::path stranger() { return sb::home("alice") / ".local/share/tarvo/someone-else.jpg"; }

  private:
    void stop() {
        if (pid_ < 0) return;
        ::kill(pid_, SIGTERM);
        sb::waitFor(pid_);
        pid_ = -1;
    }
    pid_t pid_ = -1;
    int starts_ = 0;
};

// i3lock on an X display or swaylock on a Wayland one: the locker locks
// as alice and stays until unlocked; keys come from xdotool or wtype.
class LockerTest : public testing::TestWithParam<std::string> {
  public:
    static void SetUpTestSuite() {
        if (!sb::privateSystemFolders(true)) return;
        sb::realUser("alice", sb::aliceUid, password);
        // The display servers share buffers through /dev/shm, which the
        // system log's /dev overlay doesn't serve well: a tmpfs of its own.
        if (::mount("tmpfs", "/dev/shm", "tmpfs", 0, "mode=1777") != 0) return;
        std::ofstream("/etc/pam.d/tarvo")
            << sb::readFile(std::string(sb::tree::source) + "/pam/tarvo.pam");
        fs::create_directories("/opt/tarvo/lib");
        fs::copy_file(sb::tree::pamModule, "/opt/tarvo/lib/pam_tarvo.so");
        fs::permissions("/opt/tarvo/lib/pam_tarvo.so", fs::perms(0644));
        tpm = new sb::SoftwareTpm();
        tpm->use();
        agent = new AliceAgent();
        ready = true;
    }
    static void TearDownTestSuite() {
        delete agent;
        delete tpm;
    }
    static bool logged(const std::string& text, std::chrono::milliseconds limit) {
        return eventually([&] { return count(text) > 0; }, limit);
    }
    static size_t count(const std::string& text) {
        return sb::occurrences(sb::readFile(AliceAgent::log()), text);
    }
    static inline bool ready = false;
    static inline sb::SoftwareTpm* tpm = nullptr;
    static inline AliceAgent* agent = nullptr;

  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace";
        ASSERT_TRUE(ready) << "the lock screen's world could not be set up";
        ASSERT_EQ(run(sb::installedHelper(sb::tree::helper).string() + " install --user alice"), 0);
        if (x11())
            startX();
        else
            startSway();
    }
    void TearDown() override {
        for (auto [pid, signal] : {std::pair{locked, SIGKILL}, {swayPid, SIGTERM}})
            if (pid > 0) {
                ::kill(pid, signal);
                sb::waitFor(pid);
            }
    }
    bool x11() { return GetParam() == "i3lock"; }

    void startX() {
        std::string number;
        for (int n = 40; n < 99 && number.empty(); ++n)
            if (!fs::exists("/tmp/.X11-unix/X" + std::to_string(n))) number = std::to_string(n);
        display.emplace(std::vector<std::string>{"Xvfb", ":" + number, "-ac", "-nolisten", "tcp",
                                                 "-screen", "0", "1280x720x24"});
        EXPECT_TRUE(eventually([&] { return fs::exists("/tmp/.X11-unix/X" + number); }, 5s));
        env = {{"DISPLAY", ":" + number}};
    }
    void startSway() {
        env = {{"XDG_RUNTIME_DIR", "/run/user/4242"},
               {"WLR_BACKENDS", "headless"},
               {"WLR_RENDERER", "pixman"},
               {"WLR_LIBINPUT_NO_DEVICES", "1"}};
        auto config = sb::root() / "sway.conf";
        std::ofstream(config) << "output HEADLESS-1 resolution 1280x720\n";
        fs::permissions(config, fs::perms(0644));
        for (const auto& entry : fs::directory_iterator("/run/user/4242"))
            if (entry.path().filename().string().rfind("wayland-", 0) == 0)
                fs::remove(entry.path());
        swayPid = spawnAlice({"sway", "-c", config.string()}, env);
        // Ready once its IPC answers with the output: the Wayland socket
        // appears before the compositor's globals do.
        auto outputs = "swaymsg -s /run/user/4242/sway-ipc.4242." + std::to_string(swayPid) +
                       ".sock -t get_outputs 2>/dev/null | grep -q HEADLESS-1";
        EXPECT_TRUE(eventually([&] { return run(outputs) == 0; }, 10s));
        env["WAYLAND_DISPLAY"] = "wayland-1";
    }

    // Locks the screen: the locker runs in the foreground until unlocked.
    void lock() { locked = spawnAlice(x11() ? Args{"i3lock", "-n"} : Args{"swaylock"}, env); }
    // A new virtual keyboard (one per wtype) can lose its first key, so
    // each run starts with a Shift that may go; the password then comes
    // after an Escape, which only clears the field.
    void type(const std::string& keys) {
        if (x11())
            run("DISPLAY=" + env["DISPLAY"] + " xdotool type --delay 20 '" + keys + "'");
        else
            sb::waitFor(
                spawnAlice({"wtype", "-k", "Shift_L", "-k", "Escape", "-d", "20", keys}, env));
    }
    void pressReturn() {
        if (x11())
            run("DISPLAY=" + env["DISPLAY"] + " xdotool key Return");
        else
            sb::waitFor(spawnAlice({"wtype", "-k", "Shift_L", "-k", "Return"}, env));
    }
    // Presses Return until the module asks the agent: a key pressed before
    // the locker has taken the keyboard is lost. The time of the press
    // that was answered.
    Clock::time_point pressReturnUntilAsked() {
        for (int attempt = 0; attempt < 20; ++attempt) {
            size_t asked = count("VERIFY from uid 4242");
            auto pressed = Clock::now();
            pressReturn();
            if (eventually([&] { return count("VERIFY from uid 4242") > asked; }, 500ms))
                return pressed;
            if (exited(locked)) break;
        }
        ADD_FAILURE() << "the locker never asked the agent";
        return Clock::now();
    }
    static bool gone(pid_t pid, std::chrono::milliseconds limit) {
        return eventually([pid] { return exited(pid); }, limit);
    }

    using Args = std::vector<std::string>;
    std::map<std::string, std::string> env;
    std::optional<sb::Process> display;
    pid_t locked = -1, swayPid = -1;
};

TEST_P(LockerTest, ReturnOnTheEmptyFieldUnlocksWithTheFace) {
    agent->show(sb::Faces::franckVideo());
    size_t vouched = count("VERIFY from uid 4242 -> OK");
    lock();
    auto pressed = pressReturnUntilAsked();
    EXPECT_TRUE(gone(locked, 6s)) << "still locked; alice's agent logged:\n"
                                  << sb::readFile(AliceAgent::log());
    auto ms = std::chrono::duration<double, std::milli>(Clock::now() - pressed).count();
    std::printf("%s: Return to the locker's exit: %.0f ms\n", GetParam().c_str(), ms);
    RecordProperty("returnToUnlockMs", static_cast<int>(ms));
    EXPECT_EQ(count("VERIFY from uid 4242 -> OK"), vouched + 1);
}

TEST_P(LockerTest, AStrangerKeepsItLockedAndTheTypedPasswordStillWorks) {
    agent->show(AliceAgent::stranger().string());
    lock();
    pressReturnUntilAsked();
    ASSERT_TRUE(logged("VERIFY from uid 4242 -> NO (enrolled face not seen)", 6s));
    EXPECT_FALSE(gone(locked, 500ms)) << "a stranger unlocked it";
    // The refused empty password costs the stack's fail delay, during which
    // the locker drops keys: type until it takes them. Each try waits out a
    // whole check (the module's scan, pam_unix, the fail delay), so a retry
    // never lands in the middle of the one before.
    bool unlocked = false;
    for (int attempt = 0; attempt < 4 && !unlocked; ++attempt) {
        type(password);
        auto pressed = Clock::now();
        pressReturn();
        unlocked = gone(locked, 8s);
        if (unlocked)
            std::printf("%s: Return after the typed password to the locker's exit: %.0f ms\n",
                        GetParam().c_str(),
                        std::chrono::duration<double, std::milli>(Clock::now() - pressed).count());
    }
    EXPECT_TRUE(unlocked) << "the typed password did not unlock";
    // The locker sets credentials once its stack let alice in: only that
    // starts the password's 48 hours again.
    EXPECT_TRUE(logged("socket: ACCEPTED from uid 4242", 3s));
    EXPECT_TRUE(logged("the lock screen accepted the password", 3s));
    // It confirmed a miss of this lock, but the stranger's scan teaches nothing.
    EXPECT_TRUE(logged("learned nothing: the scan the password followed", 3s));
}

INSTANTIATE_TEST_SUITE_P(Lockers, LockerTest, testing::Values("i3lock", "swaylock"),
                         [](const auto& info) { return info.param; });

// A display manager's lock screen runs PAM as root: the agent hands over
// the password and Debian's pam_unix checks it.
class RootLockScreenTest : public testing::Test {
  protected:
    static void SetUpTestSuite() { LockerTest::SetUpTestSuite(); }
    static void TearDownTestSuite() { LockerTest::TearDownTestSuite(); }
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace";
        ASSERT_TRUE(LockerTest::ready) << "the lock screen's world could not be set up";
        sb::PamStack::writeService(
            "root-lock-screen",
            {"auth [success=done ignore=ignore default=ignore] /opt/tarvo/lib/pam_tarvo.so",
             "auth required pam_unix.so",
             "auth required " + sb::PamStack::wrapperModule("pam_get_items.so")});
    }
};

TEST_F(RootLockScreenTest, TheHandedPasswordIsCheckedByPamUnix) {
    LockerTest::agent->show(sb::Faces::franckVideo());
    auto outcome = sb::PamStack::run("root-lock-screen", "alice");
    EXPECT_EQ(outcome.status, PAM_SUCCESS);
    EXPECT_EQ(outcome.token, password) << "pam_unix verified the handed password";
    EXPECT_TRUE(LockerTest::logged("socket: VERIFY -> OK", 1s));

    LockerTest::agent->show(AliceAgent::stranger().string());
    outcome = sb::PamStack::run("root-lock-screen", "alice");
    EXPECT_NE(outcome.status, PAM_SUCCESS) << "no face, no password";
    EXPECT_EQ(outcome.token, std::nullopt);
}

// Replays of a room, each frame rendered afresh: Franck looking at the
// screen (frames the enrollment never took), or the stranger.
fs::path roomReplay(const std::string& name,
                    const std::function<cv::Mat(const cv::Mat&, int)>& room,
                    bool stranger = false) {
    std::vector<cv::Mat> frames;
    if (stranger) {
        cv::Mat face = cv::imread(AliceAgent::stranger().string());
        for (int i = 0; i < 30; ++i)
            frames.push_back(room(face, i));
    } else {
        auto looking = sb::Faces::lookingAtTheScreen(60);
        for (size_t i = 0; i < looking.size(); ++i)
            frames.push_back(room(looking[i], int(i)));
    }
    auto folder = sb::root() / ("room-" + name);
    fs::remove_all(folder);
    sb::Faces::writeReplay(folder, {frames}, 300);
    run("chmod -R a+rX " + folder.string());
    return folder;
}

// In a dim room, after the camera's gain (sensor noise of 12 grey levels),
// and in a dark one (30 % of the light), the face still unlocks at the
// default sensitivity; a stranger's face in the same noise does not.
TEST_F(RootLockScreenTest, DimNoisyAndDarkRoomsStillUnlockStrangersDont) {
    auto noisy = [](const cv::Mat& frame, int i) { return Rooms::withNoise(frame, 12, i); };
    auto dark = [](const cv::Mat& frame, int) { return Rooms::dark(frame, 0.3); };
    for (const auto& [name, room] :
         {std::pair<std::string, decltype(+noisy)>{"noise12", +noisy}, {"dark", +dark}}) {
        SCOPED_TRACE(name);
        LockerTest::agent->show(roomReplay(name, room).string());
        auto outcome = sb::PamStack::run("root-lock-screen", "alice");
        EXPECT_EQ(outcome.status, PAM_SUCCESS);
        EXPECT_EQ(outcome.token, password);
    }
    LockerTest::agent->show(roomReplay("stranger-noise12", noisy, true).string());
    auto outcome = sb::PamStack::run("root-lock-screen", "alice");
    EXPECT_NE(outcome.status, PAM_SUCCESS) << "a stranger's noisy face";
    EXPECT_EQ(outcome.token, std::nullopt);
}

// A locker running as the user needs no password: its VERIFY reaches
// neither the TPM nor PAM, so that a flood of them can't wear either out
// for root's lock screen. Here the agent has no TPM at all: alice's own
// locker is still answered, root's lock screen gets nothing.
TEST_F(RootLockScreenTest, TheUsersOwnVerifyNeedsNoTpm) {
    LockerTest::agent->show(sb::Faces::franckVideo(), {{"TCTI", "swtpm:host=127.0.0.1,port=9"}});
    auto asked = sb::outputAs(sb::aliceUid, [] {
        return SocketClient::request("VERIFY", Paths::socketOf(sb::aliceUid).string(), 6.0)
            .value_or("no reply");
    });
    EXPECT_EQ(asked, "OK");
    auto outcome = sb::PamStack::run("root-lock-screen", "alice");
    EXPECT_NE(outcome.status, PAM_SUCCESS);
    EXPECT_EQ(outcome.token, std::nullopt);
    EXPECT_TRUE(LockerTest::logged("verify: the saved password can't be opened", 1s));
}

} // namespace
