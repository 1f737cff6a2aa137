#pragma once

#include "core/agent/PasswordFreshness.h"
#include "core/agent/SerialQueue.h"
#include "core/agent/SocketServer.h"
#include "core/base/UniqueFd.h"
#include "core/face/Camera.h"
#include "core/face/Recognizer.h"
#include "core/store/Log.h"
#include "platform/agent/LockMonitor.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

namespace tarvo {

// The per-user service the lock screen talks to: answers VERIFY with one
// bounded scan, keeps the camera cold while the session is in use and warm
// while the lock screen shows on an awake display, and opens the keyring
// after a face unlock. Timers, queued work and callbacks hold the agent
// weakly, so it is always owned through a shared_ptr.
class Agent : public std::enable_shared_from_this<Agent> {
  public:
    class AgentError : public std::runtime_error {
      public:
        using std::runtime_error::runtime_error;
        static AgentError alreadyRunning();
    };

    // What the agent takes from the machine; each defaults to the real one.
    struct Environment {
        Camera::SourceFactory cameraSource;
        std::function<bool()> displayAsleep;
        Recognizer::Analyze analyze;
        PasswordFreshness::Clock clock; // time since boot
    };

    static constexpr std::chrono::milliseconds displayPollInterval{400};
    static constexpr std::chrono::milliseconds scanLimit{3500};
    static constexpr std::chrono::milliseconds keyringRecheck{1500};
    // A password handed to the lock screen that didn't unlock it is refused
    // for the rest of that lock. Lockers that report no unlock end it after
    // this long without a VERIFY from root.
    static constexpr std::chrono::seconds refusedVouchLapse{60};
    // PAM's refusal of the saved password removes it only when a second
    // check this much later refuses it too: one refusal may be an error of
    // the check (no process left to run it, an account locked for a while).
    static constexpr std::chrono::minutes refusalConfirmed{5};
    // How long the face models stay loaded after an unlock.
    static constexpr std::chrono::minutes modelsKeptUnlocked{2};
    // A scan that came close teaches only when the lock screen accepts the
    // user's password within this long after it, in the same lock.
    static constexpr std::chrono::minutes lessonLapse{2};

    static std::shared_ptr<Agent> create(bool requestsCameraAccess, Environment environment = {});
    ~Agent();
    Agent(const Agent&) = delete;
    Agent& operator=(const Agent&) = delete;

    // Throws AgentError or SocketServer::ServerError; the agent then stays
    // stopped. A running agent is left as it is. One agent per user: the
    // first holds a lock on a file beside the socket for as long as it runs,
    // and a second fails with alreadyRunning without touching the socket.
    void start();
    void stop();
    bool isRunning() const { return isRunning_; }
    // Whether the camera is running (warm, or scanning).
    bool isScanning() const { return camera_.isRunning(); }

  private:
    using FrameSink = std::function<void(const Camera::Image&)>;

    Agent(bool requestsCameraAccess, Environment environment);

    // Wraps a member call so that it does nothing once the agent is gone.
    template <typename Call> auto weakly(Call call) {
        return [weak = weak_from_this(), call](auto&&... args) {
            if (auto self = weak.lock()) return call(*self, std::forward<decltype(args)>(args)...);
            return decltype(call(std::declval<Agent&>(), args...))();
        };
    }

    void onLock();
    void onUnlock();
    void onAccepted();
    void learnFrom(const Learning::NearMiss& miss, float threshold);
    void loadModels();
    void releaseModelsLater();
    void endLock();
    void wipePending();
    void startDisplayWatch();
    void pollDisplay();
    bool ensureSession();
    void unlockKeyring(const std::string& password);
    void tryKeyring(const std::string& password, const char* tag);
    void openKeyringAfterFaceOnly();
    std::optional<SocketServer::Match> verifyNow(SocketServer::Peer peer);
    std::optional<std::string> savedPasswordToHand();
    enum class PasswordCheck { correct, doubtful, wrong };
    PasswordCheck checkSavedPassword(const std::string& password, const std::string& tag);
    bool lastVouchFailed(SocketServer::Peer peer);
    bool claimVouch(SocketServer::Peer peer);
    struct ScanResult {
        std::optional<float> distance; // when it matched
        std::optional<Learning::NearMiss> nearMiss;
        bool sawFace = false; // a face with open eyes was compared
    };
    using Deadline = std::chrono::steady_clock::time_point;
    std::optional<float> recognize(Deadline answerBy);
    std::optional<float> scanOnce(Deadline answerBy);
    ScanResult runScan(Recognizer recognizer, Deadline answerBy);
    void recordScan(const ScanResult& scan, double seconds);
    bool warmConditionsHold(bool isLocked);

    std::shared_ptr<SocketServer> server_;
    Camera camera_;
    platform::LockMonitor monitor_;
    std::mutex lock_;     // guards locked_ and displayTimer_
    std::mutex scanLock_; // held for a whole recognition; the display poll only tries it
    bool locked_ = false;
    // The recognition under way, which a VERIFY arriving meanwhile shares
    // instead of starting another.
    std::mutex scanning_;
    std::shared_future<std::optional<float>> currentScan_;
    // A password handed to root and not yet followed by an unlock (guarded by lock_).
    bool vouchOutstanding_ = false;
    // When PAM first refused the saved password, on the freshness clock;
    // nothing since it last accepted it (guarded by lock_).
    std::optional<std::chrono::nanoseconds> firstRefusal_;
    std::chrono::steady_clock::time_point lastRootVerify_;
    // The last scan of this lock that missed, until the lock ends or the
    // password follows it (guarded by lock_). What it could teach, only
    // where the lock is the session's own: its lock screen, or a locker
    // running as the user; never a greeter.
    struct Miss {
        std::optional<Learning::NearMiss> lesson;
        float threshold = 0;
        bool sessionLock = false;
        std::chrono::steady_clock::time_point at;
    };
    std::optional<Miss> lastMiss_;
    UniqueFd singleInstance_; // flock'd for the agent's whole life
    SerialQueue control_;
    // The consumer of frames during a scan, and the password the last
    // successful VERIFY handed out. Shared with the camera's callback, which
    // must not own the agent: the camera can't be stopped from its own
    // frame thread.
    struct Sink {
        std::mutex lock;
        FrameSink frameSink;
        std::optional<std::string> pendingPassword;
        // A locker running as the user was answered on the face alone.
        bool faceOnlyUnlock = false;
        // Whether a scan is consuming frames.
        bool isScanning() {
            std::lock_guard guard(lock);
            return static_cast<bool>(frameSink);
        }
    };
    std::shared_ptr<Sink> sink_ = std::make_shared<Sink>();
    PasswordFreshness freshness_;
    std::shared_ptr<SerialQueue::Timer> displayTimer_;
    Log::Throttle socketEvents_; // a flood of requests logs a line a second
    std::atomic<bool> warmWithDisplay_{true};
    std::atomic<bool> isRunning_{false};
    bool requestsCameraAccess_;
    Environment environment_;
    std::thread preparing_; // loading the models (guarded by modelsLock_)
    std::mutex modelsLock_; // taken after scanLock_ and lock_, never before
    bool modelsLoaded_ = false;
    std::uint64_t modelsGeneration_ = 0; // a release is off once this moves on
};

} // namespace tarvo
