#include "core/agent/Agent.h"

#include "core/agent/FileProblems.h"
#include "core/agent/StoredPassword.h"
#include "core/base/Secret.h"
#include "core/face/FaceEngine.h"
#include "core/store/Config.h"
#include "core/store/DataFile.h"
#include "core/store/Enrollment.h"
#include "core/store/Log.h"
#include "core/store/ModelScale.h"
#include "core/store/Paths.h"
#include "core/store/ScanHistory.h"
#include "platform/agent/SystemState.h"
#include "platform/face/ResidentMemory.h"
#include "protocol/agent_protocol.h"

#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <unistd.h>
#include <utility>

namespace tarvo {

// The module gives up on VERIFY's reply after this long; a scan, with the
// saved password checked before it, ends well within it.
static_assert(Agent::scanLimit + std::chrono::milliseconds(1000) <=
                  std::chrono::milliseconds(TARVO_REPLY_TIMEOUT_MS),
              "the module would stop waiting before the scan ends");

namespace {

using Clock = std::chrono::steady_clock;

// A busy machine can spend seconds before the first frame (the models
// loading, the camera's program starting): the scan is then cut short, so
// that the answer still reaches a module that waits for it. A match found
// after it stopped waiting would be logged as vouched and help nobody.
constexpr auto replyMargin = std::chrono::milliseconds(300);
static_assert(replyMargin < std::chrono::milliseconds(TARVO_REPLY_TIMEOUT_MS) - Agent::scanLimit);

// The shortest text that reads back as the same float: 0.1, not 0.100000001.
std::string shortestText(float value) {
    char text[32];
    auto end = std::to_chars(text, text + sizeof text, value).ptr;
    return std::string(text, end);
}

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A history that can't be written costs the user's figures a line, nothing more.
void remember(ScanHistory::Outcome outcome, double seconds) {
    try {
        ScanHistory::add(
            {Enrollment::unixSeconds(std::chrono::system_clock::now()), outcome, seconds});
    } catch (const std::exception& error) {
        Log::line(std::string("scan history: ") + error.what());
    }
}

} // namespace

Agent::AgentError Agent::AgentError::alreadyRunning() {
    return AgentError("another Tarvo agent is already running on " + Paths::socket().string());
}

std::shared_ptr<Agent> Agent::create(bool requestsCameraAccess, Environment environment) {
    return std::shared_ptr<Agent>(new Agent(requestsCameraAccess, std::move(environment)));
}

Agent::Agent(bool requestsCameraAccess, Environment environment)
    : camera_(environment.cameraSource), control_("tarvo-agent"), freshness_(environment.clock),
      requestsCameraAccess_(requestsCameraAccess), environment_(std::move(environment)) {
    if (!environment_.displayAsleep)
        environment_.displayAsleep = [] { return platform::DisplayPower::isAsleep(); };
    if (!environment_.clock) environment_.clock = platform::SystemState::sinceBoot;
}

Agent::~Agent() {
    stop();
    if (preparing_.joinable()) preparing_.join();
    camera_.stop();
}

void Agent::start() {
    if (isRunning_) return;
    // It runs all day and loads and releases the models again and again.
    platform::returnFreedMemory();
    // Made by logind for each logged-in user; never by us (as the user we
    // couldn't, and a folder of ours there would not be the login's).
    auto runtime = Paths::runtimeDir().parent_path();
    if (!std::filesystem::is_directory(runtime))
        throw SocketServer::ServerError::noRuntimeFolder(runtime.string());
    try {
        DataFile::ownFolder(Paths::runtimeDir(), true);
        DataFile::ownFolder(Paths::dir(), true); // for its log
    } catch (const DataFile::FileError& unsafe) {
        throw SocketServer::ServerError::bindFailed(unsafe.what());
    }
    UniqueFd instance(
        ::open(Paths::lockFile().c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!instance) throw SocketServer::ServerError::bindFailed(std::strerror(errno));
    if (::flock(instance.get(), LOCK_EX | LOCK_NB) != 0) throw AgentError::alreadyRunning();
    Log::line("agent starting (uid " + std::to_string(getuid()) + ", pid " +
              std::to_string(getpid()) + ")");
    freshness_.keep();
    Config::keepLastGood();
    for (const auto& problem : FileProblems::now().all())
        Log::line(problem);
    auto server = SocketServer::create(
        Paths::socket().string(),
        weakly([](Agent& self, SocketServer::Peer peer) { return self.verifyNow(peer); }),
        [sink = std::weak_ptr<Sink>(sink_)] {
            auto shared = sink.lock();
            return shared && shared->isScanning();
        },
        weakly([](Agent& self, const std::string& event) {
            if (self.socketEvents_.line("socket: " + event))
                self.control_.after(Log::Throttle::window,
                                    self.weakly([](Agent& agent) { agent.socketEvents_.flush(); }));
        }),
        weakly([](Agent& self, SocketServer::Peer) { self.onAccepted(); }));
    server->start();
    server_ = std::move(server);
    singleInstance_ = std::move(instance);
    Log::line("listening on " + Paths::socket().string());

    if (requestsCameraAccess_) {
        try {
            Camera::ensureUsable();
            Log::line("camera access: granted");
        } catch (const std::exception& error) {
            Log::line(std::string("camera access: ") + error.what());
        }
    }

    monitor_.start(weakly([](Agent& self) { self.onLock(); }),
                   weakly([](Agent& self) { self.onUnlock(); }));
    bool locked = platform::LockMonitor::isLocked();
    {
        std::lock_guard guard(lock_);
        locked_ = locked;
    }
    // The face models are loaded while the screen is locked, when a scan
    // may come; an unlocked agent holds none of their hundred megabytes.
    if (locked) loadModels();
    isRunning_ = true;
    Log::line("ready");
}

// The models take about a second to load: not on the VERIFY that follows
// a lock. A VERIFY with no lock before it loads them as it analyses.
void Agent::loadModels() {
    // An analysis of the environment's own has no models of ours.
    if (environment_.analyze) return;
    std::lock_guard guard(modelsLock_);
    ++modelsGeneration_; // a release scheduled before this lock is off
    if (modelsLoaded_) return;
    modelsLoaded_ = true;
    if (preparing_.joinable()) preparing_.join();
    preparing_ = std::thread([] {
        FaceEngine::prepare();
        Log::line("face models ready");
    });
}

// Two minutes after an unlock, or after a scan of an unlocked screen, the
// models go, unless the screen was locked again or a scan runs.
void Agent::releaseModelsLater() {
    if (environment_.analyze) return;
    std::uint64_t generation;
    {
        std::lock_guard guard(modelsLock_);
        generation = ++modelsGeneration_;
    }
    control_.after(modelsKeptUnlocked, weakly([generation](Agent& self) {
                       {
                           std::lock_guard guard(self.lock_);
                           if (self.locked_) return;
                       }
                       std::unique_lock scan(self.scanLock_, std::try_to_lock);
                       if (!scan.owns_lock()) return; // the scan's end schedules another
                       std::lock_guard guard(self.modelsLock_);
                       if (generation != self.modelsGeneration_) return;
                       if (self.preparing_.joinable()) self.preparing_.join();
                       FaceEngine::release();
                       self.modelsLoaded_ = false;
                       Log::line("face models released");
                   }));
}

void Agent::stop() {
    if (!isRunning_) return;
    monitor_.stop();
    endLock();
    wipePending();
    server_->stop();
    server_.reset();
    singleInstance_.reset();
    isRunning_ = false;
    Log::line("agent stopped");
}

void Agent::onLock() {
    {
        std::lock_guard guard(lock_);
        locked_ = true;
        lastMiss_.reset(); // a new lock: nothing before it is confirmed by its password
    }
    loadModels();
    warmWithDisplay_ = Config::load().warmWithDisplay;
    if (!warmWithDisplay_) {
        Log::line("screen locked — camera starts on Return");
        return;
    }
    startDisplayWatch();
    control_.async(weakly([](Agent& self) { self.pollDisplay(); }));
    Log::line("screen locked");
}

void Agent::startDisplayWatch() {
    std::lock_guard guard(lock_);
    if (displayTimer_) return;
    displayTimer_ = control_.repeating(displayPollInterval, displayPollInterval,
                                       weakly([](Agent& self) { self.pollDisplay(); }));
}

bool Agent::warmConditionsHold(bool isLocked) {
    // The cheap tests first; the file only on a lit lock screen.
    return isLocked && warmWithDisplay_ && !environment_.displayAsleep() &&
           StoredPassword::isStored() && !freshness_.reasonPasswordRequired();
}

void Agent::pollDisplay() {
    bool isLocked;
    {
        std::lock_guard guard(lock_);
        isLocked = locked_;
    }
    std::unique_lock scan(scanLock_, std::try_to_lock);
    if (!scan.owns_lock()) return;
    if (warmConditionsHold(isLocked)) {
        if (!camera_.isRunning() && ensureSession())
            Log::line("lock screen showing — camera warming");
        return;
    }
    if (!camera_.isRunning() || sink_->isScanning()) return;
    camera_.stop();
    Log::line("camera cold again");
}

bool Agent::ensureSession() {
    if (camera_.isRunning()) return true;
    try {
        // Frames outside a scan are dropped here, after one lock and a test.
        camera_.start([sink = sink_](const Camera::Image& frame) {
            FrameSink consumer;
            {
                std::lock_guard guard(sink->lock);
                consumer = sink->frameSink;
            }
            if (consumer) consumer(frame);
        });
        return true;
    } catch (const std::exception& error) {
        Log::line(std::string("camera failed (") + error.what() + ")");
        return false;
    }
}

// What ends with a lock, whether the screen was unlocked or the agent stops.
void Agent::endLock() {
    {
        std::lock_guard guard(lock_);
        locked_ = false;
        vouchOutstanding_ = false;
        if (displayTimer_) displayTimer_->cancel();
        displayTimer_.reset();
    }
    {
        std::lock_guard guard(sink_->lock);
        sink_->frameSink = nullptr;
    }
    auto unlockedAt = Clock::now();
    control_.async(weakly([unlockedAt](Agent& self) {
        // Queued behind other work, this may run after the next lock began
        // and a scan took the camera: the scan's end decides for it then.
        std::unique_lock scan(self.scanLock_, std::try_to_lock);
        if (!scan.owns_lock() || !self.camera_.isRunning()) return;
        self.camera_.stop();
        char text[64];
        std::snprintf(text, sizeof text, "camera off %.0fms after unlock",
                      millisecondsSince(unlockedAt));
        Log::line(text);
    }));
}

void Agent::wipePending() {
    std::lock_guard guard(sink_->lock);
    if (sink_->pendingPassword) wipe(*sink_->pendingPassword);
    sink_->pendingPassword.reset();
    sink_->faceOnlyUnlock = false;
}

void Agent::onUnlock() {
    endLock();
    Log::line("screen unlocked");
    releaseModelsLater();
    std::optional<std::string> password;
    bool faceOnly = false;
    {
        std::lock_guard guard(sink_->lock);
        password.swap(sink_->pendingPassword);
        faceOnly = std::exchange(sink_->faceOnlyUnlock, false);
    }
    if (password) {
        unlockKeyring(*password);
        wipe(*password);
    } else if (faceOnly) {
        openKeyringAfterFaceOnly();
    }
}

// Only the stack's word that it let the user in counts as a password: an
// unlock the agent merely saw (a session back on screen after a switch of
// terminals, a locker's signal) may have asked for nothing at all. The
// same word confirms that a scan which just missed saw the user.
void Agent::onAccepted() {
    freshness_.credentialPresented();
    Log::line("the lock screen accepted the password; a face will do for 48 hours");
    std::optional<Miss> miss;
    {
        std::lock_guard guard(lock_);
        miss.swap(lastMiss_);
    }
    if (!miss || Clock::now() - miss->at > lessonLapse) return;
    control_.async(weakly([miss = *miss](Agent& self) {
        remember(ScanHistory::Outcome::passwordAfterMiss, 0);
        if (!miss.sessionLock)
            Log::line("learned nothing: the scan the password followed was not at this "
                      "session's lock");
        else if (!miss.lesson)
            Log::line("learned nothing: the scan the password followed had no single face "
                      "with open eyes (or no blink) to learn from");
        else
            self.learnFrom(*miss.lesson, miss.threshold);
    }));
}

void Agent::learnFrom(const Learning::NearMiss& miss, float threshold) {
    char text[160];
    try {
        auto faces = Enrollment::faces();
        auto rule = Learning::ruleFor(threshold);
        auto pupil = Learning::pupil(faces, miss, rule);
        if (!pupil) {
            std::snprintf(text, sizeof text,
                          "learned nothing: the scan the password followed (distance %.3f) lies "
                          "too far from the enrolled samples",
                          double(miss.distance));
            return Log::line(text);
        }
        const auto& face = faces[*pupil];
        auto learned = Learning::learn(face, miss, rule,
                                       Enrollment::unixSeconds(std::chrono::system_clock::now()));
        Enrollment::setLearned(face.id, learned);
        std::snprintf(text, sizeof text,
                      "learned from the scan the password followed (distance %.3f, %.3f from "
                      "the enrolled samples); %zu learned samples",
                      double(miss.distance), double(learned.back().distance), learned.size());
        Log::line(text);
    } catch (const std::exception& error) {
        Log::line(std::string("learned nothing: ") + error.what());
    }
}

void Agent::unlockKeyring(const std::string& password) {
    // Each attempt keeps its own copy, wiped once it has run.
    auto attempt = [this, &password](const char* tag, Clock::duration delay) {
        auto copy = std::make_shared<std::string>(password);
        control_.after(delay, [weak = weak_from_this(), copy, tag] {
            if (auto self = weak.lock()) self->tryKeyring(*copy, tag);
            wipe(*copy);
        });
    };
    attempt("at unlock", Clock::duration::zero());
    attempt("recheck", keyringRecheck);
}

void Agent::tryKeyring(const std::string& password, const char* tag) {
    try {
        StoredPassword::unlockKeyring(password);
        Log::line(std::string("login keyring unlocked (") + tag + ")");
        return;
    } catch (const StoredPassword::Problem& locked) {
        Log::line(locked.what());
    }
    // A keyring can fail to unlock for reasons of its own; only the
    // account's own verdict removes the password.
    checkSavedPassword(password, std::string("login keyring (") + tag + "): ");
    Log::line(std::string("login keyring could not be unlocked (") + tag + ")");
}

// A locker running as the user unlocked on the face alone: the keyring
// is opened, if it is locked, with the saved password read now.
void Agent::openKeyringAfterFaceOnly() {
    control_.async(weakly([](Agent& self) {
        if (LoginKeyring::isUnlocked()) return;
        try {
            if (auto password = StoredPassword::load()) {
                self.tryKeyring(*password, "at unlock");
                wipe(*password);
            }
        } catch (const StoredPassword::Problem& unopened) {
            Log::line(unopened.what());
        }
    }));
}

std::optional<SocketServer::Match> Agent::verifyNow(SocketServer::Peer peer) {
    auto answerBy = Clock::now() + std::chrono::milliseconds(TARVO_REPLY_TIMEOUT_MS) - replyMargin;
    if (auto reason = freshness_.reasonPasswordRequired()) {
        Log::line("verify: password needed, " + *reason);
        return std::nullopt;
    }
    // A locker running as the user learns the verdict alone: its request
    // needs no password, so it never reaches the TPM or PAM, and a flood
    // of them can't wear either out for root.
    std::optional<std::string> password;
    if (peer == SocketServer::Peer::root) {
        password = savedPasswordToHand();
        if (!password) return std::nullopt;
    } else if (!StoredPassword::isStored()) {
        Log::line("verify: no saved password, password needed");
        return std::nullopt;
    }
    std::optional<float> distance;
    if (!lastVouchFailed(peer)) distance = recognize(answerBy);
    if (!distance && peer == SocketServer::Peer::user) {
        std::lock_guard guard(lock_);
        if (lastMiss_) lastMiss_->sessionLock = true; // the user's own locker
    }
    if (!distance || !claimVouch(peer)) {
        if (password) wipe(*password);
        return std::nullopt;
    }
    std::lock_guard guard(sink_->lock);
    if (!password) {
        sink_->faceOnlyUnlock = true;
        return SocketServer::Match{*distance, {}};
    }
    if (sink_->pendingPassword) wipe(*sink_->pendingPassword);
    sink_->pendingPassword = *password;
    return SocketServer::Match{*distance, std::move(*password)};
}

// The saved password, checked again; nothing (and the reason logged) when
// it can't be handed to the lock screen.
std::optional<std::string> Agent::savedPasswordToHand() {
    std::optional<std::string> password;
    try {
        password = StoredPassword::load();
    } catch (const StoredPassword::Problem& unopened) {
        Log::line(std::string("verify: ") + unopened.what());
    }
    if (!password) {
        Log::line("verify: no saved password, password needed");
        return std::nullopt;
    }
    if (checkSavedPassword(*password, "verify: ") == PasswordCheck::correct) return password;
    wipe(*password);
    Log::line("verify: password needed");
    return std::nullopt;
}

// Removed only when PAM says twice, minutes apart, that it is wrong: a
// check that could not be made says nothing about the password, and one
// refusal may be the check failing (pam_unix refuses when it can't start
// its helper at the user's process limit).
Agent::PasswordCheck Agent::checkSavedPassword(const std::string& password,
                                               const std::string& prefix) {
    bool correct = false;
    try {
        correct = StoredPassword::isCorrect(password);
    } catch (const StoredPassword::Problem& unchecked) {
        Log::line(prefix + unchecked.what());
        Log::line(prefix + "the saved password could not be checked");
        return PasswordCheck::doubtful;
    }
    auto now = environment_.clock();
    bool confirmed = false;
    {
        std::lock_guard guard(lock_);
        if (correct) firstRefusal_.reset();
        confirmed = !correct && firstRefusal_ && now - *firstRefusal_ >= refusalConfirmed;
        if (!correct && !firstRefusal_) firstRefusal_ = now;
        if (confirmed) firstRefusal_.reset();
    }
    if (correct) return PasswordCheck::correct;
    if (!confirmed) {
        Log::line(prefix + "PAM refused the saved password; kept until a check minutes later "
                           "agrees");
        return PasswordCheck::doubtful;
    }
    StoredPassword::clear();
    Log::line(prefix + "saved password is out of date, removed it");
    return PasswordCheck::wrong;
}

// One scan hands the password at most once: root's requests that shared
// it get nothing after the first.
bool Agent::claimVouch(SocketServer::Peer peer) {
    if (peer != SocketServer::Peer::root) return true;
    std::lock_guard guard(lock_);
    if (std::exchange(vouchOutstanding_, true)) {
        Log::line("verify: the password was handed out for this lock already, password needed");
        return false;
    }
    return true;
}

// A lock screen whose stack refuses the handed password (changed since it
// was saved, or stricter rules than our check) asks again at once and for
// ever; vouching each time would keep the typed password from ever getting
// through. Called after the saved password was checked again.
bool Agent::lastVouchFailed(SocketServer::Peer peer) {
    if (peer != SocketServer::Peer::root) return false;
    std::lock_guard guard(lock_);
    auto now = std::chrono::steady_clock::now();
    if (vouchOutstanding_ && now - lastRootVerify_ > refusedVouchLapse) vouchOutstanding_ = false;
    lastRootVerify_ = now;
    if (!vouchOutstanding_) return false;
    Log::line("verify: the lock screen refused the password it was handed, password needed");
    return true;
}

std::optional<float> Agent::recognize(Deadline answerBy) {
    std::promise<std::optional<float>> result;
    std::shared_future<std::optional<float>> shared;
    {
        std::lock_guard guard(scanning_);
        if (currentScan_.valid()) {
            shared = currentScan_;
        } else {
            currentScan_ = result.get_future().share();
        }
    }
    if (shared.valid()) {
        Log::line("verify: joining the scan under way");
        return shared.get();
    }
    std::optional<float> distance;
    // Whoever shares this scan must get an answer, whatever happened in it.
    try {
        distance = scanOnce(answerBy);
    } catch (const std::exception& error) {
        Log::line(std::string("verify: scan failed (") + error.what() + ")");
    } catch (...) {
        Log::line("verify: scan failed");
    }
    {
        std::lock_guard guard(scanning_);
        currentScan_ = {};
    }
    result.set_value(distance);
    return distance;
}

std::optional<float> Agent::scanOnce(Deadline answerBy) {
    std::lock_guard scanning(scanLock_);
    std::vector<Descriptor> samples;
    try {
        samples = Enrollment::load();
    } catch (const std::exception& error) {
        Log::line(std::string("verify: not enrolled (") + error.what() + ")");
        return std::nullopt;
    }
    // With no lock signal before it the models are cold: they load while
    // the camera's program starts, not after its first frame.
    loadModels();
    Config::Source source;
    auto config = Config::load(&source);
    if (auto problem = Config::problem(source)) Log::line("verify: " + std::string(*problem));
    if (auto scale = ModelScale::problem()) Log::line("verify: " + *scale);
    Recognizer recognizer(config, samples, environment_.analyze);
    Log::line("verify: looking (" + std::to_string(samples.size()) + " samples, threshold " +
              shortestText(config.threshold) + ")");
    auto started = Clock::now();
    auto scan = runScan(std::move(recognizer), answerBy);
    // A scan of an unlocked screen (a locker that sends no lock signal):
    // the models go again in a while.
    bool locked;
    {
        std::lock_guard guard(lock_);
        locked = locked_;
        if (scan.distance)
            lastMiss_.reset();
        else
            lastMiss_ = Miss{scan.nearMiss, config.threshold, locked, Clock::now()};
    }
    if (!locked) releaseModelsLater();
    recordScan(scan, millisecondsSince(started) / 1000);
    if (scan.distance) {
        char text[64];
        std::snprintf(text, sizeof text, "verify: recognized (distance %.3f)", *scan.distance);
        Log::line(text);
    } else {
        Log::line("verify: no match");
    }
    return scan.distance;
}

void Agent::recordScan(const ScanResult& scan, double seconds) {
    using Outcome = ScanHistory::Outcome;
    auto outcome = scan.distance  ? Outcome::unlocked
                   : scan.sawFace ? Outcome::notRecognized
                                  : Outcome::notSeen;
    control_.async(
        [outcome, seconds = scan.distance ? seconds : 0] { remember(outcome, seconds); });
}

Agent::ScanResult Agent::runScan(Recognizer recognizer, Deadline answerBy) {
    // Exactly one of match, give-up and time-out decides: whichever sets
    // `finished` first under the scan's own lock. The frame thread may still
    // be inside `consider` when the scan has ended, so the recognizer lives
    // with the sink rather than on this stack.
    struct Scan {
        explicit Scan(Recognizer recognizer) : recognizer(std::move(recognizer)) {}
        Recognizer recognizer;
        std::mutex lock;
        std::condition_variable signal;
        bool finished = false;
        ScanResult result;
    };
    auto scan = std::make_shared<Scan>(std::move(recognizer));
    bool wasWarm = camera_.isRunning();
    if (!ensureSession()) return {};
    {
        std::lock_guard guard(sink_->lock);
        sink_->frameSink = [scan](const Camera::Image& frame) {
            {
                std::lock_guard guard(scan->lock);
                if (scan->finished) return;
            }
            auto& recognizer = scan->recognizer;
            auto outcome = recognizer.consider(frame);
            std::lock_guard guard(scan->lock);
            if (scan->finished) return;
            scan->result.nearMiss = recognizer.nearMiss();
            scan->result.sawFace = recognizer.sawFace();
            if (auto* matched = std::get_if<Recognizer::Matched>(&outcome)) {
                scan->result.distance = matched->distance;
                scan->finished = true;
            } else if (recognizer.givesUp()) {
                scan->finished = true;
            }
            if (scan->finished) scan->signal.notify_one();
        };
    }
    ScanResult result;
    auto until = std::min(Clock::now() + scanLimit, answerBy);
    {
        std::unique_lock guard(scan->lock);
        scan->signal.wait_until(guard, until, [&] { return scan->finished; });
        if (!scan->finished && until == answerBy)
            Log::line("verify: scan cut short to answer before the lock screen stops waiting");
        scan->finished = true;
        result = scan->result;
    }
    {
        std::lock_guard guard(sink_->lock);
        sink_->frameSink = nullptr;
    }
    // A camera this scan started goes with it; so does a warm one whose
    // lock ended meanwhile, which the unlock left to the scan.
    bool locked;
    {
        std::lock_guard guard(lock_);
        locked = locked_;
    }
    if ((!wasWarm || !locked) && camera_.isRunning()) camera_.stop();
    return result;
}

} // namespace tarvo
