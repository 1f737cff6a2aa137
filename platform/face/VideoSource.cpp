#include "platform/face/VideoSource.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <mutex>
#include <sys/ioctl.h>
#include <unistd.h>

namespace tarvo::platform {
namespace {

// The first video-capture node under /dev, by number.
DeviceProbe findCaptureDevice(int& index) {
    DeviceProbe probe;
    for (int i = 0; i < 64; ++i) {
        std::string node = "/dev/video" + std::to_string(i);
        int fd = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            if (errno == EACCES || errno == EPERM) probe.kind = DeviceProbe::Kind::denied;
            continue;
        }
        v4l2_capability caps{};
        bool capture =
            ioctl(fd, VIDIOC_QUERYCAP, &caps) == 0 &&
            ((caps.capabilities & V4L2_CAP_DEVICE_CAPS ? caps.device_caps : caps.capabilities) &
             V4L2_CAP_VIDEO_CAPTURE);
        ::close(fd);
        if (capture) {
            index = i;
            return {DeviceProbe::Kind::ready, node};
        }
    }
    return probe;
}

// The capture module (Capture.cpp): where it was installed, else where
// this tree built it. Loaded once and never unloaded.
struct Backend {
    using Replay = VideoSource* (*)(const char*, std::string*);
    using Device = VideoSource* (*)(int, std::string*);
    Replay replay = nullptr;
    Device device = nullptr;
    std::string error;
};

const Backend& backend() {
    static const Backend loaded = [] {
        Backend b;
        void* module = ::dlopen(TARVO_CAPTURE_INSTALLED, RTLD_NOW | RTLD_LOCAL);
        if (!module) module = ::dlopen(TARVO_CAPTURE_BUILT, RTLD_NOW | RTLD_LOCAL);
        if (!module) {
            const char* why = ::dlerror();
            b.error = std::string("the capture module can't be loaded: ") + (why ? why : "");
            return b;
        }
        b.replay = reinterpret_cast<Backend::Replay>(::dlsym(module, "tarvo_capture_replay"));
        b.device = reinterpret_cast<Backend::Device>(::dlsym(module, "tarvo_capture_device"));
        if (!b.replay || !b.device) b.error = "the capture module lacks its entry points";
        return b;
    }();
    return loaded;
}

Result<std::unique_ptr<VideoSource>> made(VideoSource* source, const std::string& error) {
    if (!source) return fail(error);
    return {std::unique_ptr<VideoSource>(source)};
}

} // namespace

Result<std::unique_ptr<VideoSource>> openReplay(const std::filesystem::path& path) {
    const auto& b = backend();
    if (!b.error.empty()) return fail(b.error);
    std::string error;
    return made(b.replay(path.c_str(), &error), error);
}

DeviceProbe probeDefaultSource() {
    if (const char* replay = std::getenv(replayVariable)) {
        std::error_code ec;
        if (std::filesystem::exists(replay, ec)) return {DeviceProbe::Kind::ready, replay};
        return {DeviceProbe::Kind::failed, std::string(replay) + ": " + std::strerror(ENOENT)};
    }
    int index = -1;
    return findCaptureDevice(index);
}

Result<std::unique_ptr<VideoSource>> openDefaultSource() {
    if (const char* replay = std::getenv(replayVariable)) return openReplay(replay);
    int index = -1;
    DeviceProbe probe = findCaptureDevice(index);
    switch (probe.kind) {
    case DeviceProbe::Kind::ready:
        break;
    case DeviceProbe::Kind::noDevice:
        return fail("no capture device");
    case DeviceProbe::Kind::denied:
        return fail(probe.text + ": this user may not open it");
    case DeviceProbe::Kind::failed:
        return fail(probe.text);
    }
    const auto& b = backend();
    if (!b.error.empty()) return fail(b.error);
    std::string error;
    return made(b.device(index, &error), error);
}

} // namespace tarvo::platform
