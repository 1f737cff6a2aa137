#include "core/face/Camera.h"

#include "core/base/AppIdentity.h"
#include "core/store/Config.h"

#include <chrono>
#include <opencv2/imgproc.hpp>
#include <pthread.h>
#include <string>

namespace tarvo {
namespace {

using Clock = std::chrono::steady_clock;

void nameThread(const char* suffix) {
    std::string name = std::string(AppIdentity::reverseDns) + suffix;
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

} // namespace

Camera::Camera(SourceFactory factory) : factory_(std::move(factory)) {}

Camera::~Camera() {
    stop();
}

void Camera::ensureUsable() {
    if (platform::probeSource(Config::load().camera).kind == platform::DeviceProbe::Kind::denied)
        throw CameraError::denied();
}

bool Camera::isRunning() const {
    return active_;
}

std::unique_ptr<platform::VideoSource> Camera::openSource() {
    if (factory_) {
        auto source = factory_();
        if (!source) throw CameraError::cannotConfigure(source.error().text);
        return std::move(*source);
    }
    auto chosen = Config::load().camera;
    auto probe = platform::probeSource(chosen);
    switch (probe.kind) {
    case platform::DeviceProbe::Kind::ready:
        break;
    case platform::DeviceProbe::Kind::denied:
        throw CameraError::denied();
    case platform::DeviceProbe::Kind::noDevice:
        throw CameraError::noDevice();
    case platform::DeviceProbe::Kind::missing:
        throw CameraError::missing(chosen);
    case platform::DeviceProbe::Kind::failed:
        throw CameraError::cannotConfigure(probe.text);
    }
    auto source = platform::openSource(chosen);
    if (!source) throw CameraError::cannotConfigure(source.error().text);
    return std::move(*source);
}

void Camera::start(OnFrame onFrame) {
    std::lock_guard lifecycle(lifecycle_);
    if (active_) return;
    source_ = openSource();
    onFrame_ = std::move(onFrame);
    {
        std::lock_guard guard(frameLock_);
        latest_.reset();
        framesDelivered_ = 0;
    }
    {
        std::lock_guard guard(slotLock_);
        slot_.reset();
        running_ = true;
    }
    captureThread_ = std::thread(&Camera::capture, this);
    frameThread_ = std::thread(&Camera::deliver, this);
    active_ = true;
}

void Camera::stop() {
    std::lock_guard lifecycle(lifecycle_);
    if (!active_) return;
    active_ = false;
    {
        std::lock_guard guard(slotLock_);
        running_ = false;
    }
    slotReady_.notify_all();
    captureThread_.join();
    frameThread_.join();
    source_.reset();
    onFrame_ = nullptr;
}

void Camera::capture() {
    nameThread(".capture");
    for (;;) {
        // A fresh image each time: the source may reuse a buffer it is given.
        Image frame;
        bool ok = source_ && source_->next(frame);
        {
            std::lock_guard guard(slotLock_);
            if (!running_) return;
            if (ok) {
                slot_ = std::move(frame);
                slotReady_.notify_one();
                continue;
            }
        }
        // A source without a frame this time (a camera unplugged) is asked
        // again gently; one that ended (its program died or stalled) is
        // ended, its program reaped, and a new one opened, for as long as
        // the camera runs: a lock screen's camera stays warm for hours.
        std::chrono::milliseconds pause(100);
        if (!source_ || source_->ended()) {
            source_.reset();
            try {
                source_ = openSource();
                continue;
            } catch (const std::exception&) {
                pause = std::chrono::seconds(1);
            }
        }
        std::unique_lock lock(slotLock_);
        if (slotReady_.wait_for(lock, pause, [&] { return !running_; })) return;
    }
}

void Camera::deliver() {
    nameThread(".camera");
    for (;;) {
        Image frame;
        {
            std::unique_lock lock(slotLock_);
            slotReady_.wait(lock, [&] { return slot_ || !running_; });
            if (!running_) return;
            frame = std::move(*slot_);
            slot_.reset();
        }
        if (frame.channels() == 4) cv::cvtColor(frame, frame, cv::COLOR_BGRA2BGR);
        if (frame.empty() || frame.type() != CV_8UC3) continue;
        {
            std::lock_guard guard(frameLock_);
            latest_ = frame;
            ++framesDelivered_;
        }
        if (onFrame_) onFrame_(frame);
    }
}

std::optional<Camera::Image> Camera::latestFrame() const {
    std::lock_guard guard(frameLock_);
    return latest_;
}

std::int64_t Camera::framesDelivered() const {
    std::lock_guard guard(frameLock_);
    return framesDelivered_;
}

bool Camera::warmUp(std::int64_t minFrames, double minSeconds, double timeout) const {
    auto start = Clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    while (elapsed() < timeout) {
        if (framesDelivered() >= minFrames && elapsed() >= minSeconds) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return framesDelivered() >= 1;
}

double Camera::meanLuminance(const Image& image) {
    if (image.empty()) return -1.0;
    cv::Scalar mean = cv::mean(image);
    if (image.channels() == 1) return mean[0] / 255.0;
    return (0.299 * mean[2] + 0.587 * mean[1] + 0.114 * mean[0]) / 255.0;
}

} // namespace tarvo
