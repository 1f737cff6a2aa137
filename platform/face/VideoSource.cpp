#include "platform/face/VideoSource.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <map>
#include <mutex>
#include <optional>
#include <sys/ioctl.h>
#include <unistd.h>

namespace tarvo::platform {
namespace {

std::string fourcc(std::uint32_t code) {
    std::string text;
    for (int shift = 0; shift < 32; shift += 8) {
        char c = char((code >> shift) & 0xFF);
        if (c != ' ' && c != '\0') text += c;
    }
    return text;
}

// Formats that carry no colour: infrared cameras and depth sensors.
bool isGrey(const std::string& format) {
    for (const char* grey : {"GREY", "Y4", "Y6", "Y8", "Y10", "Y12", "Y14", "Y16", "Y10B", "Y12P",
                             "Z16", "INVZ", "Y8I", "Y12I"})
        if (format == grey) return true;
    return false;
}

// The device's name and formats; nothing when it is no capture device.
std::optional<CaptureDevice> describe(int fd, const std::string& node) {
    v4l2_capability caps{};
    if (ioctl(fd, VIDIOC_QUERYCAP, &caps) != 0) return std::nullopt;
    auto kinds = caps.capabilities & V4L2_CAP_DEVICE_CAPS ? caps.device_caps : caps.capabilities;
    if (!(kinds & V4L2_CAP_VIDEO_CAPTURE)) return std::nullopt;
    CaptureDevice device;
    device.node = node;
    device.card = std::string(reinterpret_cast<const char*>(caps.card),
                              strnlen(reinterpret_cast<const char*>(caps.card), sizeof caps.card));
    device.allowed = true;
    v4l2_fmtdesc format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    for (format.index = 0; format.index < 64 && ioctl(fd, VIDIOC_ENUM_FMT, &format) == 0;
         ++format.index) {
        device.formats.push_back(fourcc(format.pixelformat));
        device.colour = device.colour || !isGrey(device.formats.back());
    }
    return device;
}

// The stable names under /dev/v4l/by-id, by the node they lead to.
std::map<std::string, std::string> stableNames() {
    std::map<std::string, std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/v4l/by-id", ec)) {
        auto node = std::filesystem::canonical(entry.path(), ec);
        if (!ec) names.emplace(node.string(), entry.path().string());
    }
    return names;
}

int nodeNumber(const std::string& node) {
    return std::atoi(node.c_str() + std::strlen("/dev/video"));
}

// The device a scan uses: see probeSource.
DeviceProbe choose(const std::string& chosen, std::string& node) {
    auto devices = captureDevices();
    if (!chosen.empty()) {
        std::error_code ec;
        auto target = std::filesystem::canonical(chosen, ec).string();
        for (const auto& device : devices)
            if (device.node == target || device.name == chosen) {
                node = device.node;
                return {device.allowed ? DeviceProbe::Kind::ready : DeviceProbe::Kind::denied,
                        device.node};
            }
        return {DeviceProbe::Kind::missing, chosen};
    }
    const CaptureDevice* first = nullptr;
    bool denied = false;
    for (const auto& device : devices) {
        denied = denied || !device.allowed;
        if (!device.allowed) continue;
        if (device.colour) {
            first = &device;
            break;
        }
        if (!first) first = &device;
    }
    if (!first) return {denied ? DeviceProbe::Kind::denied : DeviceProbe::Kind::noDevice, {}};
    node = first->node;
    return {DeviceProbe::Kind::ready, first->node};
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

std::vector<CaptureDevice> captureDevices() {
    std::vector<CaptureDevice> devices;
    auto names = stableNames();
    for (int i = 0; i < 64; ++i) {
        std::string node = "/dev/video" + std::to_string(i);
        int fd = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        std::optional<CaptureDevice> device;
        if (fd >= 0) {
            device = describe(fd, node);
            ::close(fd);
        } else if (errno == EACCES || errno == EPERM) {
            device = CaptureDevice{node, {}, {}, {}, false, false};
        }
        if (!device) continue;
        auto stable = names.find(node);
        device->name = stable != names.end() ? stable->second : node;
        devices.push_back(std::move(*device));
    }
    return devices;
}

DeviceProbe probeSource(const std::string& chosen) {
    if (const char* replay = std::getenv(replayVariable)) {
        std::error_code ec;
        if (std::filesystem::exists(replay, ec)) return {DeviceProbe::Kind::ready, replay};
        return {DeviceProbe::Kind::failed, std::string(replay) + ": " + std::strerror(ENOENT)};
    }
    std::string node;
    return choose(chosen, node);
}

Result<std::unique_ptr<VideoSource>> openSource(const std::string& chosen) {
    if (const char* replay = std::getenv(replayVariable)) return openReplay(replay);
    std::string node;
    DeviceProbe probe = choose(chosen, node);
    switch (probe.kind) {
    case DeviceProbe::Kind::ready:
        break;
    case DeviceProbe::Kind::noDevice:
        return fail("no capture device");
    case DeviceProbe::Kind::denied:
        return fail(probe.text + ": this user may not open it");
    case DeviceProbe::Kind::missing:
        return fail(probe.text + " is not connected");
    case DeviceProbe::Kind::failed:
        return fail(probe.text);
    }
    const auto& b = backend();
    if (!b.error.empty()) return fail(b.error);
    std::string error;
    return made(b.device(nodeNumber(node), &error), error);
}

} // namespace tarvo::platform
