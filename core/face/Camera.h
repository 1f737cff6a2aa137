#pragma once

#include "platform/face/VideoSource.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

namespace tarvo {

// One camera: frames arrive on its own serial frame thread, late frames are
// dropped rather than queued, and the latest frame and a count are kept for
// pollers. The device is open only between start and stop.
class Camera {
  public:
    using Image = platform::Image;
    using OnFrame = std::function<void(const Image&)>;
    // Opens the source a start uses. Without one the camera uses the one
    // the settings choose (a replay named by TARVO_CAMERA, else the chosen
    // V4L2 device, else the first that delivers colour frames) and checks
    // access first.
    using SourceFactory = std::function<platform::Result<std::unique_ptr<platform::VideoSource>>()>;

    class CameraError : public std::runtime_error {
      public:
        using std::runtime_error::runtime_error;
        static CameraError cannotConfigure(const std::string& reason) {
            return CameraError("camera setup failed: " + reason);
        }
        static CameraError denied() {
            return CameraError("Tarvo may not use the camera. Join the video group (sudo "
                               "adduser $USER video), then log out and back in.");
        }
        static CameraError noDevice() { return CameraError("No camera found. Plug one in."); }
        static CameraError missing(const std::string& chosen) {
            return CameraError("The camera chosen (" + chosen +
                               ") is not connected. Plug it in, or choose another.");
        }
    };

    explicit Camera(SourceFactory factory = {});
    ~Camera();
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    // Throws denied when the camera to use is one this user may not open.
    static void ensureUsable();

    bool isRunning() const;
    // Start and stop are safe from any thread but the frame callback.
    // Starts delivering frames to `onFrame`; a running camera keeps its
    // callback and counters. Throws CameraError.
    void start(OnFrame onFrame);
    // Stops and drops the callback; the latest frame and the count stay
    // until the next start. Not to be called from the callback.
    void stop();

    std::optional<Image> latestFrame() const;
    std::int64_t framesDelivered() const;
    // Blocks until at least minFrames arrived and minSeconds passed; after
    // `timeout`, true if any frame arrived at all.
    bool warmUp(std::int64_t minFrames, double minSeconds, double timeout) const;

    // Mean brightness in 0...1 (Rec. 601 weights), -1 for an empty image.
    static double meanLuminance(const Image& image);

  private:
    std::unique_ptr<platform::VideoSource> openSource();
    void capture();
    void deliver();

    // Start and stop may come from different threads (a scan, the agent's
    // control queue); they take turns.
    std::mutex lifecycle_;
    std::atomic<bool> active_{false};
    SourceFactory factory_;
    std::unique_ptr<platform::VideoSource> source_;
    OnFrame onFrame_;

    mutable std::mutex frameLock_;
    std::optional<Image> latest_;
    std::int64_t framesDelivered_ = 0;

    // The hand-over between the capture thread and the frame thread: one
    // slot, so a frame the frame thread is too late for is replaced.
    std::mutex slotLock_;
    std::condition_variable slotReady_;
    std::optional<Image> slot_;
    bool running_ = false;

    std::thread captureThread_;
    std::thread frameThread_;
};

} // namespace tarvo
