// Face unlock on real lockers that run PAM as the user: i3lock under Xvfb
// and swaylock under headless sway, their Debian stacks wired by the built
// tarvo-helper, the built module installed at its real path, and alice's
// real agent (replay camera, enrolled from the stills, password sealed on
// swtpm). Keys come from xdotool and wtype. Everything lives in a mount
// namespace of the test's own; alice is made a real user there, so that
// pam_unix's helper can check her typed password.
#include "core/agent/Agent.h"
#include "core/agent/StoredPassword.h"
#include "core/face/Calibration.h"
#include "core/store/Paths.h"
#include "sandbox/Faces.h"
#include "sandbox/PamStack.h"
#include "sandbox/Sandbox.h"
#include "sandbox/Services.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <security/pam_appl.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
namespace sb = tarvo::sandbox;
using tarvo::sandbox::eventually;
using namespace tarvo;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* password = "correct horse battery staple";

std::map<fs::path, std::string> stacks() {
    std::map<fs::path, std::string> all;
    for (const auto& entry : fs::directory_iterator("/etc/pam.d"))
        all[entry.path()] = sb::readFile(entry.path());
    return all;
}

int run(const std::string& command) {
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs argv as alice with `env` set and its complaints silenced; the child's pid.
pid_t spawnAlice(const std::vector<std::string>& argv,
                 const std::map<std::string, std::string>& env) {
    return sb::spawnAs(sb::aliceUid, [&] {
        for (const auto& [name, value] : env)
            ::setenv(name.c_str(), value.c_str(), 1);
        (void)!std::freopen("/dev/null", "w", stderr);
        std::vector<char*> args;
        for (const auto& arg : argv)
            args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        return 127;
    });
}

// Whether a process has exited: gone, or a zombie nobody has reaped yet.
bool exited(pid_t pid) {
    std::string stat = sb::readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    return close == std::string::npos || stat.compare(close + 2, 1, "Z") == 0;
}

// Alice's agent in a child of her own: seals the password, enrolls Franck
// from his stills, then runs the agent in front of whatever `show` names.
class AliceAgent {
  public:
    AliceAgent() {
        int down[2], up[2];
        if (::pipe(down) != 0 || ::pipe(up) != 0) throw std::runtime_error("pipe");
        pid_ = sb::spawnAs(sb::aliceUid, [&] {
            ::close(down[1]);
            ::close(up[0]);
            return serve(down[0], up[1]);
        });
        ::close(down[0]);
        ::close(up[1]);
        to_ = down[1];
        from_ = up[0];
        if (!answered()) throw std::runtime_error("alice's agent did not start");
    }
    ~AliceAgent() {
        ::close(to_);
        sb::waitFor(pid_);
        ::close(from_);
    }
    // Restarts the agent with the camera replaying `scene`, and waits
    // until it has its models ready, as a long-running agent has.
    void show(const std::string& scene) {
        std::string line = scene + "\n";
        (void)!::write(to_, line.data(), line.size());
        if (!answered()) throw std::runtime_error("alice's agent did not restart");
        ++starts_;
        auto ready = [&] {
            return sb::occurrences(sb::readFile(log()), "face models ready") >= size_t(starts_);
        };
        if (!eventually(ready, 20s)) throw std::runtime_error("alice's agent has no models");
    }
    static fs::path log() { return sb::home("alice") / ".local/share/tarvo/tarvo.log"; }
    static fs::path stranger() { return sb::home("alice") / ".local/share/tarvo/someone-else.jpg"; }

  private:
    bool answered() {
        char word = 0;
        return ::read(from_, &word, 1) == 1 && word == 'r';
    }
    static int serve(int in, int out) {
        try {
            return agentLoop(in, out);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "alice's agent: %s\n", error.what());
            return 1;
        }
    }
    static int agentLoop(int in, int out) {
        StoredPassword::save(password);
        Calibration::commit(sb::Faces::stillsOfFranck(), "Franck");
        sb::Faces::someoneElse(Paths::dir());
        std::shared_ptr<Agent> agent;
        FILE* commands = ::fdopen(in, "r");
        for (;;) {
            (void)!::write(out, "r", 1);
            char scene[4096];
            if (!std::fgets(scene, sizeof scene, commands)) return 0;
            scene[std::strcspn(scene, "\n")] = '\0';
            if (agent) agent->stop();
            agent.reset();
            ::setenv("TARVO_CAMERA", scene, 1);
            agent = Agent::create(false);
            agent->start();
        }
    }

    pid_t pid_ = -1;
    int to_ = -1, from_ = -1;
    int starts_ = 0;
};

// A locker as its users run it: the command that locks (it returns once
// the screen is locked, leaving the locker running), and how keys reach it.
struct Locker {
    std::string name;
    std::function<std::map<std::string, std::string>()> start; // the display, its environment
    std::function<void(const std::string& keys)> type;
    std::function<void()> pressReturn;
};

class LockerTest : public testing::TestWithParam<std::string> {
  public:
    static void SetUpTestSuite() {
        if (!sb::privateSystemFolders(true)) return;
        sb::realUser("alice", sb::aliceUid, password);
        // The display servers share buffers through /dev/shm, which the
        // system log's /dev overlay doesn't serve well: a tmpfs of its own.
        if (::mount("tmpfs", "/dev/shm", "tmpfs", 0, "mode=1777") != 0) return;
        ::setenv("TARVO_MODEL", (sb::Faces::data() + "/model/FaceEmbedding.tflite").c_str(), 1);
        std::ofstream("/etc/pam.d/tarvo") << sb::readFile(PAM_SERVICE_FILE);
        fs::create_directories("/opt/tarvo/lib");
        fs::copy_file(PAM_TARVO_MODULE, "/opt/tarvo/lib/pam_tarvo.so");
        fs::permissions("/opt/tarvo/lib/pam_tarvo.so", fs::perms(0644));
        before = new std::map<fs::path, std::string>(stacks());
        tpm = new sb::SoftwareTpm();
        tpm->use();
        agent = new AliceAgent();
        ready = true;
    }
    static void TearDownTestSuite() {
        delete agent;
        delete tpm;
        delete before;
    }
    static bool logged(const std::string& text, std::chrono::milliseconds limit) {
        return eventually(
            [&] { return sb::readFile(AliceAgent::log()).find(text) != std::string::npos; }, limit);
    }
    static inline bool ready = false;
    static inline sb::SoftwareTpm* tpm = nullptr;
    static inline AliceAgent* agent = nullptr;
    static inline std::map<fs::path, std::string>* before = nullptr;

  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace";
        ASSERT_TRUE(ready) << "the lock screen's world could not be set up";
        ASSERT_EQ(run(std::string(TARVO_HELPER) + " install --user alice"), 0);
        locker = lockers().at(GetParam());
        env = locker.start();
    }
    void TearDown() override {
        if (locked > 0) {
            ::kill(locked, SIGKILL);
            sb::waitFor(locked);
        }
        display.reset();
    }

    // Locks the screen: the locker runs in the foreground until unlocked.
    void lock() {
        std::vector<std::string> command = GetParam() == "i3lock"
                                               ? std::vector<std::string>{"i3lock", "-n"}
                                               : std::vector<std::string>{"swaylock"};
        locked = spawnAlice(command, env);
    }
    // Presses Return until the module asks the agent: a key pressed before
    // the locker has taken the keyboard is lost. The time of the press
    // that was answered.
    Clock::time_point pressReturnUntilAsked() {
        for (int attempt = 0; attempt < 20; ++attempt) {
            size_t asked = count("VERIFY from uid 4242");
            auto pressed = Clock::now();
            locker.pressReturn();
            if (eventually([&] { return count("VERIFY from uid 4242") > asked; }, 500ms))
                return pressed;
            if (exited(locked)) break;
        }
        ADD_FAILURE() << "the locker never asked the agent";
        return Clock::now();
    }
    static size_t count(const std::string& text) {
        return sb::occurrences(sb::readFile(AliceAgent::log()), text);
    }
    static bool gone(pid_t pid, std::chrono::milliseconds limit) {
        return eventually([pid] { return exited(pid); }, limit);
    }

    std::map<std::string, Locker> lockers() {
        auto x = [this] {
            std::string number;
            for (int n = 40; n < 99 && number.empty(); ++n)
                if (!fs::exists("/tmp/.X11-unix/X" + std::to_string(n))) number = std::to_string(n);
            display.emplace(std::vector<std::string>{"Xvfb", ":" + number, "-ac", "-nolisten",
                                                     "tcp", "-screen", "0", "1280x720x24"});
            EXPECT_TRUE(eventually([&] { return fs::exists("/tmp/.X11-unix/X" + number); }, 5s));
            return std::map<std::string, std::string>{{"DISPLAY", ":" + number}};
        };
        auto wayland = [this] {
            std::map<std::string, std::string> session{{"XDG_RUNTIME_DIR", "/run/user/4242"},
                                                       {"WLR_BACKENDS", "headless"},
                                                       {"WLR_RENDERER", "pixman"},
                                                       {"WLR_LIBINPUT_NO_DEVICES", "1"}};
            auto config = sb::root() / "sway.conf";
            std::ofstream(config) << "output HEADLESS-1 resolution 1280x720\n";
            fs::permissions(config, fs::perms(0644));
            for (const auto& entry : fs::directory_iterator("/run/user/4242"))
                if (entry.path().filename().string().rfind("wayland-", 0) == 0)
                    fs::remove(entry.path());
            swayPid = spawnAlice({"sway", "-c", config.string()}, session);
            // Ready once its IPC answers with the output: the Wayland
            // socket appears before the compositor's globals do.
            auto ipc = "/run/user/4242/sway-ipc.4242." + std::to_string(swayPid) + ".sock";
            EXPECT_TRUE(eventually(
                [&] {
                    return run("swaymsg -s " + ipc + " -t get_outputs 2>/dev/null | grep -q " +
                               "HEADLESS-1") == 0;
                },
                10s));
            session["WAYLAND_DISPLAY"] = "wayland-1";
            return session;
        };
        auto xdotool = [this](const std::string& args) {
            run("DISPLAY=" + env["DISPLAY"] + " xdotool " + args);
        };
        // A new virtual keyboard (one per wtype) can lose its first key, so
        // each run starts with a Shift that may go; the password then comes
        // after an Escape, which only clears the field.
        auto wtype = [this](std::vector<std::string> args) {
            args.insert(args.begin(), "wtype");
            sb::waitFor(spawnAlice(args, env));
        };
        return {{"i3lock",
                 {"i3lock", x, [=](auto& keys) { xdotool("type --delay 20 '" + keys + "'"); },
                  [=] { xdotool("key Return"); }}},
                {"swaylock",
                 {"swaylock", wayland,
                  [=](auto& keys) {
                      wtype({"-k", "Shift_L", "-k", "Escape", "-d", "20", keys});
                  },
                  [=] {
                      wtype({"-k", "Shift_L", "-k", "Return"});
                  }}}};
    }

    Locker locker;
    pid_t locked = -1;
    std::map<std::string, std::string> env;
    std::optional<sb::Process> display;
    pid_t swayPid = -1;

  public:
    ~LockerTest() override {
        if (swayPid > 0) {
            ::kill(swayPid, SIGTERM);
            sb::waitFor(swayPid);
        }
    }
};

TEST_P(LockerTest, ReturnOnTheEmptyFieldUnlocksWithTheFace) {
    agent->show(sb::Faces::franckVideo());
    size_t vouched = count("VERIFY from uid 4242 -> OK");
    lock();
    auto pressed = pressReturnUntilAsked();
    EXPECT_TRUE(gone(locked, 6s)) << "still locked";
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
        locker.type(password);
        auto pressed = Clock::now();
        locker.pressReturn();
        unlocked = gone(locked, 8s);
        if (unlocked)
            std::printf("%s: Return after the typed password to the locker's exit: %.0f ms\n",
                        GetParam().c_str(),
                        std::chrono::duration<double, std::milli>(Clock::now() - pressed).count());
    }
    EXPECT_TRUE(unlocked) << "the typed password did not unlock";
}

TEST_P(LockerTest, UninstallRestoresEveryStackByteForByte) {
    EXPECT_NE(sb::readFile("/etc/pam.d/" + GetParam()), before->at("/etc/pam.d/" + GetParam()))
        << "wired";
    ASSERT_EQ(run(std::string(TARVO_HELPER) + " uninstall --user alice"), 0);
    EXPECT_EQ(stacks(), *before);
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

} // namespace
