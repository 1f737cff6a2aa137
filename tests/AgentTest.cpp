#include "core/agent/Agent.h"

#include "core/agent/SocketClient.h"
#include "core/agent/StoredPassword.h"
#include "core/store/Config.h"
#include "core/store/Enrollment.h"
#include "core/store/Paths.h"
#include "core/store/ScanHistory.h"
#include "platform/agent/Keyring.h"
#include "protocol/agent_protocol.h"
#include "sandbox/Faces.h"
#include "sandbox/PamStack.h"
#include "sandbox/Sandbox.h"
#include "sandbox/Services.h"
#include "tools/Rooms.h"

#include <atomic>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <thread>

namespace sb = tarvo::sandbox;
using tarvo::sandbox::eventually;
using namespace tarvo;
using namespace std::chrono_literals;

namespace {

constexpr const char* password = "open sesame";

// Who is in front of the camera; the scripted analysis reads it per frame.
enum class Scene { owner, nearOwner, stranger, nobody };
std::atomic<Scene> scene{Scene::owner};
std::atomic<bool> displayAsleep{false};
std::atomic<int> camerasOpened{0};
std::atomic<int> displayPolls{0};
// Time since boot as the agent's password freshness sees it.
std::atomic<std::int64_t> hoursSinceBoot{1};

const Descriptor ownerFace{{1, 0, 0}};
const Descriptor strangerFace{{0, 1, 0}};
const Descriptor ownerInTheDark{{0.8f, 0.6f, 0}}; // 0.2 from the owner's sample
// Sensor noise at which Franck's guided enrollment in good light no longer
// knows him at the default threshold (his scan comes to 0.18), though he
// is still far nearer to it than any stranger.
const double noisyRoomSigma = 56;

// A camera of plain frames at 30 a second.
class TestPattern : public platform::VideoSource {
  public:
    bool next(platform::Image& frame) override {
        std::this_thread::sleep_until(due_);
        due_ += 33ms;
        frame = cv::Mat(48, 64, CV_8UC3, cv::Scalar(90, 90, 90));
        return true;
    }

  private:
    std::chrono::steady_clock::time_point due_ = std::chrono::steady_clock::now();
};

FaceEngine::Detection analyze(const FaceEngine::Image&) {
    if (scene == Scene::nobody) throw FaceEngine::EngineError::noFace();
    FaceEngine::Detection detection;
    detection.eyeAspectRatio = 0.3;
    detection.descriptor = scene == Scene::owner       ? ownerFace
                           : scene == Scene::nearOwner ? ownerInTheDark
                                                       : strangerFace;
    return detection;
}

Agent::Environment scripted() {
    Agent::Environment environment;
    environment.cameraSource = []() -> platform::Result<std::unique_ptr<platform::VideoSource>> {
        ++camerasOpened;
        return {std::make_unique<TestPattern>()};
    };
    environment.displayAsleep = [] {
        ++displayPolls;
        return displayAsleep.load();
    };
    environment.analyze = analyze;
    environment.clock = [] { return std::chrono::nanoseconds(std::chrono::hours(hoursSinceBoot)); };
    return environment;
}

std::string logText() {
    return sb::readFile(Paths::log());
}

// The desktop the agent runs on: its buses, logind and the screensaver,
// the keyring, the TPM, and the password check.
struct Desktop {
    Desktop() { tpm.use(); }
    sb::SoftwareTpm tpm;
    sb::SessionBus sessionBus;
    sb::SystemBus systemBus;
    sb::KeyringDaemon keyring{password};
    sb::LockServices lock;
};

class AgentTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        sb::PamStack::usePasswordCheck({{"root", password}});
        desktop = new Desktop();
    }
    static void TearDownTestSuite() { delete desktop; }

    void SetUp() override {
        scene = Scene::owner;
        displayAsleep = false;
        camerasOpened = 0;
        displayPolls = 0;
        hoursSinceBoot = 1;
        std::filesystem::remove(Paths::log());
        std::filesystem::remove(Paths::passwordTyped());
        std::filesystem::remove(Paths::scanHistory());
        for (const auto& aside : sb::filesLike(Paths::scanHistory()))
            std::filesystem::remove(aside);
        Config config;
        config.save();
        Enrollment::clear();
        Enrollment::add("me", {ownerFace});
        StoredPassword::save(password);
        agent = Agent::create(false, scripted());
    }
    void TearDown() override {
        agent.reset();
        desktop->lock.setScreenSaverActive(false);
        desktop->lock.setLockedHint(false);
    }

    bool logged(const std::string& line, std::chrono::milliseconds limit = 2s) {
        return eventually([&] { return logText().find(line) != std::string::npos; }, limit);
    }
    static size_t count(const std::string& line) { return sb::occurrences(logText(), line); }
    // Two more looks at the display: the agent has decided at least once
    // on what it sees now.
    static bool decided() {
        int seen = displayPolls;
        return eventually([&] { return displayPolls >= seen + 2; }, 3s);
    }
    static std::optional<std::string> verify() {
        return SocketClient::request("VERIFY", Paths::socket().string(), 6.0);
    }

    static inline Desktop* desktop = nullptr;
    std::shared_ptr<Agent> agent;
};

TEST_F(AgentTest, StartsOnceAndStopsInOrder) {
    agent->start();
    agent->start();
    EXPECT_TRUE(agent->isRunning());
    EXPECT_EQ(count("agent starting (uid 0, pid " + std::to_string(getpid()) + ")"), 1u);
    EXPECT_EQ(count("listening on " + Paths::socket().string()), 1u);
    EXPECT_EQ(count(" ready\n") - count(" face models ready\n"), 1u);

    agent->stop();
    EXPECT_FALSE(agent->isRunning());
    EXPECT_FALSE(std::filesystem::exists(Paths::socket()));
    EXPECT_EQ(count("agent stopped"), 1u);
    EXPECT_EQ(count("screen unlocked"), 0u) << "stopping is no unlock";
}

// While a scan runs: STATUS says so at once, a second VERIFY shares the
// scan, and a second agent is refused without touching the socket.
TEST_F(AgentTest, OneAgentPerUserAndOneScanAtATime) {
    agent->start();
    scene = Scene::nobody; // the scan runs its whole 3.5 s
    auto status = [] { return SocketClient::request("STATUS", Paths::socket().string(), 1.0); };
    std::optional<std::string> first, second;
    std::thread lockScreen([&] { first = verify(); });
    ASSERT_TRUE(eventually([&] { return status() == "SCANNING"; }, 2s));
    std::thread again([&] { second = verify(); });
    EXPECT_TRUE(logged("verify: joining the scan under way"));

    auto refused = sb::thrown<Agent::AgentError>([] { Agent::create(false, scripted())->start(); });
    ASSERT_TRUE(refused) << "a second agent started";
    EXPECT_EQ(std::string(refused->what()),
              "another Tarvo agent is already running on " + Paths::socket().string());
    EXPECT_EQ(status(), "SCANNING") << "the second agent left the socket alone";
    lockScreen.join();
    again.join();
    EXPECT_EQ(first, "NO not-seen");
    EXPECT_EQ(second, "NO not-seen");
    EXPECT_EQ(count("verify: looking"), 1u);
    EXPECT_EQ(status(), "IDLE");
}

// A lock screen whose stack refuses the handed password asks again at
// once; the agent must not vouch again until the screen was unlocked.
TEST_F(AgentTest, ARefusedVouchIsNotRepeatedUntilTheNextUnlock) {
    agent->start();
    desktop->lock.setLockedHint(true);
    ASSERT_TRUE(logged(" screen locked\n"));
    EXPECT_EQ(verify(), "OK 6f70656e20736573616d65");
    EXPECT_EQ(verify(), "NO not-seen");
    EXPECT_EQ(verify(), "NO not-seen");
    EXPECT_EQ(count("verify: the lock screen refused the password it was handed, password needed"),
              2u);
    EXPECT_EQ(count("verify: looking"), 1u);
    desktop->lock.setLockedHint(false);
    ASSERT_TRUE(logged("screen unlocked"));
    desktop->lock.setLockedHint(true);
    ASSERT_TRUE(eventually([] { return count(" screen locked\n") == 2; }, 2s));
    EXPECT_EQ(verify(), "OK 6f70656e20736573616d65") << logText();
}

TEST_F(AgentTest, WarmsWhileTheLockScreenShowsOnAnAwakeDisplay) {
    agent->start();
    desktop->lock.setScreenSaverActive(true);
    ASSERT_TRUE(logged("lock screen showing — camera warming"));
    EXPECT_TRUE(agent->isScanning());
    EXPECT_EQ(count(" screen locked\n"), 1u);

    displayAsleep = true;
    ASSERT_TRUE(logged("camera cold again"));
    EXPECT_FALSE(agent->isScanning());
    displayAsleep = false;
    ASSERT_TRUE(eventually([&] { return agent->isScanning(); }, 2s));
    ASSERT_TRUE(decided());
    EXPECT_EQ(count("lock screen showing — camera warming"), 2u) << "once per warming";

    // A warm camera stays warm through a scan.
    EXPECT_EQ(verify(), "OK 6f70656e20736573616d65");
    EXPECT_TRUE(agent->isScanning());
    EXPECT_EQ(camerasOpened, 2);

    desktop->lock.setScreenSaverActive(false);
    ASSERT_TRUE(logged("ms after unlock"));
    EXPECT_FALSE(agent->isScanning());
    EXPECT_TRUE(logged("login keyring unlocked (at unlock)"));
}

TEST_F(AgentTest, StaysColdWithoutASealedPasswordOrWithWarmUpOff) {
    StoredPassword::clear();
    agent->start();
    desktop->lock.setLockedHint(true);
    ASSERT_TRUE(decided());
    EXPECT_FALSE(agent->isScanning());
    EXPECT_EQ(verify(), "NO not-seen");
    EXPECT_TRUE(logged("verify: no saved password, password needed"));
    desktop->lock.setLockedHint(false);
    ASSERT_TRUE(logged("screen unlocked"));

    StoredPassword::save(password);
    Config config;
    config.warmWithDisplay = false;
    config.save();
    desktop->lock.setLockedHint(true);
    ASSERT_TRUE(logged("screen locked — camera starts on Return"));
    EXPECT_FALSE(agent->isScanning()) << "decided before the line is logged";
    EXPECT_EQ(camerasOpened, 0);
    EXPECT_EQ(verify(), "OK 6f70656e20736573616d65");
    EXPECT_EQ(camerasOpened, 1) << "the scan started the camera";
    EXPECT_FALSE(agent->isScanning()) << "and stopped it again";
}

TEST_F(AgentTest, IgnoresLockSignalsFromClientsThatDontOwnTheService) {
    agent->start();
    // The bus delivers in order: the forged signal reaches the agent before
    // the genuine one after it.
    desktop->lock.forge(true);
    desktop->lock.setScreenSaverActive(true);
    ASSERT_TRUE(logged(" screen locked\n"));
    EXPECT_EQ(count("screen locked"), 1u);
    desktop->lock.forge(false);
    // Still locked: the display is still watched, and no unlock is logged.
    ASSERT_TRUE(decided());
    EXPECT_EQ(count("screen unlocked"), 0u);
}

TEST_F(AgentTest, FaceUnlockOpensTheKeyringTwice) {
    desktop->keyring.lock();
    ASSERT_EQ(platform::Keyring::loginState(), platform::Keyring::State::locked);
    agent->start();
    desktop->lock.setScreenSaverActive(true);
    ASSERT_TRUE(logged(" screen locked\n"));
    EXPECT_EQ(verify(), "OK 6f70656e20736573616d65");
    EXPECT_TRUE(logged("verify: looking (1 samples, threshold "));
    EXPECT_TRUE(logged("verify: recognized (distance 0.000)"));
    desktop->lock.setScreenSaverActive(false);
    EXPECT_TRUE(logged("login keyring unlocked (at unlock)"));
    EXPECT_EQ(platform::Keyring::loginState(), platform::Keyring::State::unlocked);
    EXPECT_TRUE(logged("login keyring unlocked (recheck)", 3s));
}

TEST_F(AgentTest, ScansEndOnGiveUpOrTimeLimit) {
    agent->start();
    scene = Scene::stranger;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(verify(), "NO not-seen");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s) << "three far faces give up";
    EXPECT_TRUE(logged("verify: no match"));

    scene = Scene::nobody;
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(verify(), "NO not-seen");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 3400ms) << "no face: the time limit";
    EXPECT_FALSE(agent->isScanning());

    // A camera that takes seconds to open, as on a busy machine, leaves the
    // scan less time: the answer still comes while the module waits.
    agent.reset();
    auto environment = scripted();
    environment.cameraSource = []() -> platform::Result<std::unique_ptr<platform::VideoSource>> {
        std::this_thread::sleep_for(2500ms);
        return {std::make_unique<TestPattern>()};
    };
    agent = Agent::create(false, environment);
    agent->start();
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(verify(), "NO not-seen");
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              std::chrono::milliseconds(TARVO_REPLY_TIMEOUT_MS));
    EXPECT_TRUE(logged("verify: scan cut short"));
}

TEST_F(AgentTest, RefusesWhenThePasswordOrFaceIsMissing) {
    agent->start();
    Enrollment::clear();
    EXPECT_EQ(verify(), "NO not-seen");
    EXPECT_TRUE(logged("verify: not enrolled (no enrolled face. Enroll in Tarvo.)"));

    Enrollment::add("me", {ownerFace});
    // A check that can't be made says nothing about the password: kept.
    const std::string checks = ::getenv("TARVO_PAM_CONFDIR");
    ::setenv("TARVO_PAM_CONFDIR", "/nonexistent", 1);
    EXPECT_EQ(verify(), "NO not-seen");
    EXPECT_TRUE(logged("verify: the saved password could not be checked"));
    EXPECT_TRUE(StoredPassword::isStored());
    ::setenv("TARVO_PAM_CONFDIR", checks.c_str(), 1);

    // One refusal may be the check failing (pam_unix refuses when it can't
    // start its helper): kept, and checked again minutes later. Only the
    // same answer then removes it.
    sb::PamStack::usePasswordCheck({{"root", "a new password"}});
    EXPECT_EQ(verify(), "NO not-seen");
    EXPECT_TRUE(logged("verify: PAM refused the saved password; kept until a check minutes "
                       "later agrees"));
    EXPECT_EQ(verify(), "NO not-seen");
    EXPECT_TRUE(StoredPassword::isStored()) << "a second refusal at once is no confirmation";
    hoursSinceBoot += 1;
    EXPECT_EQ(verify(), "NO not-seen");
    EXPECT_TRUE(logged("verify: saved password is out of date, removed it"));
    EXPECT_FALSE(StoredPassword::isStored());
    sb::PamStack::usePasswordCheck({{"root", password}});

    // A refusal, then an acceptance: the next refusal starts afresh.
    StoredPassword::save(password);
    sb::PamStack::usePasswordCheck({{"root", "a new password"}});
    EXPECT_EQ(verify(), "NO not-seen");
    sb::PamStack::usePasswordCheck({{"root", password}});
    EXPECT_EQ(verify(), "OK 6f70656e20736573616d65");
    hoursSinceBoot += 1;
    sb::PamStack::usePasswordCheck({{"root", "a new password"}});
    EXPECT_EQ(verify(), "NO not-seen");
    EXPECT_TRUE(StoredPassword::isStored());
    sb::PamStack::usePasswordCheck({{"root", password}});
}

// Damaged files are logged at the start in the words status uses, and
// loosen nothing: a damaged record of the password's age asks for it.
TEST_F(AgentTest, DamagedFilesAreLoggedAndLoosenNothing) {
    agent.reset();
    sb::writeFile(StoredPassword::file(), "garbage");
    sb::writeFile(Paths::config(), "{");
    sb::writeFile(Paths::passwordTyped(), "garbage");
    agent = Agent::create(false, scripted());
    agent->start();
    EXPECT_TRUE(logged(std::string(Damage::password)));
    EXPECT_TRUE(logged(std::string(Damage::settingsLastGood)));
    EXPECT_EQ(verify(), "NO not-seen");
    EXPECT_TRUE(logged("verify: password needed, " + std::string(Damage::passwordAge)));
    EXPECT_EQ(sb::readFile(Paths::passwordTyped()), "garbage") << "not written over";
    for (const auto& file : {StoredPassword::file(), Paths::config(), Paths::passwordTyped()})
        for (const auto& aside : sb::filesLike(file))
            std::filesystem::remove(aside);
}

// Root's requests that share one scan get the password once: the second
// is refused, so one match never hands the password out twice.
TEST_F(AgentTest, OneScanHandsThePasswordOutOnce) {
    agent->start();
    scene = Scene::nobody;
    auto status = [] { return SocketClient::request("STATUS", Paths::socket().string(), 1.0); };
    std::optional<std::string> first, second;
    std::thread lockScreen([&] { first = verify(); });
    ASSERT_TRUE(eventually([&] { return status() == "SCANNING"; }, 2s));
    std::thread again([&] { second = verify(); });
    ASSERT_TRUE(logged("verify: joining the scan under way"));
    scene = Scene::owner;
    lockScreen.join();
    again.join();
    std::multiset<std::optional<std::string>> replies{first, second};
    EXPECT_EQ(replies, (std::multiset<std::optional<std::string>>{"NO not-seen",
                                                                  "OK 6f70656e20736573616d65"}));
    EXPECT_EQ(count("verify: the password was handed out for this lock already"), 1u);
}

// The password's 48 hours count from when it was typed, not from the
// agent's start: a restart by the service manager keeps counting.
TEST_F(AgentTest, ARestartKeepsThePasswordsAge) {
    agent->start();
    hoursSinceBoot = 30;
    agent.reset();
    agent = Agent::create(false, scripted());
    agent->start();
    hoursSinceBoot = 50;
    EXPECT_EQ(verify(), "NO not-seen");
    EXPECT_TRUE(logged("verify: password needed, 48 hours since the last password"));
}

// Only the lock screen's word that its stack accepted a password starts
// the password's 48 hours again, and it touches no keyring: an unlock the
// agent merely saw (a switch of terminals and back, a locker's signal) may
// have asked for nothing. After 48 hours a face is refused and the lock
// screen isn't warmed until the password is typed.
TEST_F(AgentTest, OnlyAPasswordTheLockScreenAcceptedStartsThePeriodAgain) {
    agent->start();
    hoursSinceBoot = 50;
    desktop->lock.setScreenSaverActive(true);
    ASSERT_TRUE(decided());
    EXPECT_FALSE(agent->isScanning()) << "no warming when the password is needed";
    EXPECT_EQ(verify(), "NO not-seen");
    EXPECT_TRUE(logged("verify: password needed, 48 hours since the last password"));
    desktop->lock.setScreenSaverActive(false);
    ASSERT_TRUE(logged("screen unlocked"));
    desktop->lock.setActive(false);
    desktop->lock.setActive(true);
    ASSERT_TRUE(eventually([] { return count("screen unlocked") == 2u; }, 2s));
    EXPECT_EQ(verify(), "NO not-seen") << "no password was typed";
    EXPECT_EQ(SocketClient::request("ACCEPTED", Paths::socket().string(), 2.0), "NOTED");
    EXPECT_EQ(verify(), "OK 6f70656e20736573616d65") << "typed just now: a face will do";
    EXPECT_EQ(count("login keyring"), 0u);
}

// A scan of this lock that came close, then the lock screen's word that
// its stack took the typed password: the face learns the scan, and such a
// scan unlocks from then on. A word after a new lock teaches nothing, nor
// does a stranger's scan or one outside the session's lock (a greeter's). Every scan and the
// password after a miss are counted for the user's own figures.
TEST_F(AgentTest, AConfirmedNearMissTeachesAndNothingElseDoes) {
    sb::writeFile(Paths::scanHistory(), "garbage"); // kept aside, a new record begun
    EXPECT_TRUE(ScanHistory::damaged());
    agent->start();
    auto accepted = [] { return SocketClient::request("ACCEPTED", Paths::socket().string(), 2.0); };
    auto relock = [](int locks) {
        desktop->lock.setScreenSaverActive(false);
        desktop->lock.setScreenSaverActive(true);
        return eventually([&] { return count("screen locked") == size_t(locks); }, 2s);
    };
    scene = Scene::nearOwner;
    EXPECT_EQ(verify(), "NO not-seen") << "root's request, the session unlocked: a greeter's";
    EXPECT_EQ(accepted(), "NOTED");
    ASSERT_TRUE(relock(1));
    EXPECT_EQ(verify(), "NO not-seen");
    ASSERT_TRUE(relock(2));
    EXPECT_EQ(accepted(), "NOTED");

    scene = Scene::stranger;
    EXPECT_EQ(verify(), "NO not-seen");
    EXPECT_EQ(accepted(), "NOTED");
    EXPECT_TRUE(logged("learned nothing: the scan the password followed (distance 1.000) lies "
                       "too far from the enrolled samples"));

    scene = Scene::nearOwner;
    EXPECT_EQ(verify(), "NO not-seen");
    EXPECT_EQ(accepted(), "NOTED");
    EXPECT_TRUE(logged("learned from the scan the password followed (distance 0.200, 0.200 from "
                       "the enrolled samples); 1 learned samples"));
    EXPECT_EQ(count("learned from"), 1u) << "only the confirmed near miss taught";
    EXPECT_EQ(Enrollment::faces()[0].learned.size(), 1u);
    EXPECT_EQ(verify(), "OK 6f70656e20736573616d65");

    using O = ScanHistory::Outcome;
    std::vector<O> expected = {O::notRecognized,     O::passwordAfterMiss, O::notRecognized,
                               O::notRecognized,     O::passwordAfterMiss, O::notRecognized,
                               O::passwordAfterMiss, O::unlocked};
    auto outcomes = [] {
        std::vector<O> seen;
        for (const auto& entry : ScanHistory::entries())
            seen.push_back(entry.outcome);
        return seen;
    };
    EXPECT_TRUE(eventually([&] { return outcomes() == expected; }, 2s));
    EXPECT_FALSE(ScanHistory::damaged());
    EXPECT_EQ(sb::readFile(sb::filesLike(Paths::scanHistory()).at(0)), "garbage");
    auto summary = ScanHistory::summary(Enrollment::unixSeconds(std::chrono::system_clock::now()));
    EXPECT_EQ(summary.value_or("").rfind("Unlocked by face 1 of 4 times in the last 30 days, "
                                         "median ",
                                         0),
              0u);
}

// Frames played over and over, at 10 a second: slow enough that the scan
// reads every one even on a busy machine. At a camera's 30 a loaded
// machine skips some, and the mean of three frames then differs from run
// to run.
class Replay : public platform::VideoSource {
  public:
    explicit Replay(std::vector<platform::Image> frames) : frames_(std::move(frames)) {}
    bool next(platform::Image& frame) override {
        std::this_thread::sleep_until(due_);
        due_ += 100ms;
        frame = frames_[shown_++ % frames_.size()].clone();
        return true;
    }

  private:
    std::vector<platform::Image> frames_;
    std::size_t shown_ = 0;
    std::chrono::steady_clock::time_point due_ = std::chrono::steady_clock::now();
};

// The real face engine, Franck enrolled as guided in good light, and a
// camera in a room too noisy for that enrollment: his scan misses. Once
// the typed password confirmed it, a scan in the same room (the same
// moments, other noise) unlocks. The camera starts with each scan, so that
// both scans begin at the clip's first frame: a camera warm since the lock
// would begin wherever its replay had come to while the models loaded.
TEST_F(AgentTest, ALearnedFaceUnlocksTheRoomItMissedIn) {
    agent.reset();
    Enrollment::clear();
    Config config;
    config.warmWithDisplay = false;
    config.save();
    sb::Faces::enrollAsGuided("Franck");
    auto looking = sb::Faces::lookingAtTheScreen(45);
    auto room = [&](std::uint64_t seed) {
        std::vector<platform::Image> frames;
        for (std::size_t i = 0; i < looking.size(); ++i)
            frames.push_back(Rooms::withNoise(looking[i], noisyRoomSigma, seed + i));
        return frames;
    };
    auto start = [&](std::vector<platform::Image> frames) {
        auto environment = scripted();
        environment.analyze = {};
        environment.cameraSource =
            [frames]() -> platform::Result<std::unique_ptr<platform::VideoSource>> {
            return {std::make_unique<Replay>(frames)};
        };
        agent = Agent::create(false, environment);
        agent->start();
    };
    // Each agent loads its models at the lock, as a long-running one has.
    start(room(0));
    desktop->lock.setScreenSaverActive(true);
    ASSERT_TRUE(logged("face models ready", 60s));
    ASSERT_EQ(verify(), "NO not-seen") << "the enrollment alone knows him in this room";
    EXPECT_EQ(SocketClient::request("ACCEPTED", Paths::socket().string(), 2.0), "NOTED");
    ASSERT_TRUE(logged("learned from the scan the password followed", 5s)) << logText();

    agent.reset();
    desktop->lock.setScreenSaverActive(false);
    start(room(1000));
    desktop->lock.setScreenSaverActive(true);
    ASSERT_TRUE(eventually([] { return count("face models ready") == 2u; }, 60s));
    EXPECT_EQ(verify(), "OK 6f70656e20736573616d65") << logText();
}

} // namespace
