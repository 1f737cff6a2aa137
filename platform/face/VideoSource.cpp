#include "platform/face/VideoSource.h"

#include "platform/face/CaptureChannel.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <map>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

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

} // namespace

bool isReplay(const std::string& chosen) {
    std::error_code ec;
    auto path = std::filesystem::path(chosen);
    return !chosen.empty() && path.is_absolute() && chosen.rfind("/dev/", 0) != 0 &&
           (std::filesystem::is_regular_file(path, ec) || std::filesystem::is_directory(path, ec));
}

namespace {

int nodeNumber(const std::string& node) {
    return std::atoi(node.c_str() + std::strlen("/dev/video"));
}

// The device a scan uses: see probeSource.
DeviceProbe choose(const std::string& chosen, std::string& node) {
    auto devices = captureDevices();
    if (isReplay(chosen)) return {DeviceProbe::Kind::ready, chosen};
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

// Frames from a tarvo-capture of our own (capture/tarvo-capture.cpp, the channel in
// CaptureChannel.h). It stays in step with its requests: one byte asks for
// one frame. A program that answers late or wrongly is ended, and the
// source fails for good, as an unplugged camera does.
class CaptureProgram : public VideoSource {
  public:
    static constexpr int openingMs = 10000; // loading its libraries, a slow camera's start
    static constexpr int frameMs = 5000;

    static Result<std::unique_ptr<VideoSource>> start(std::vector<std::string> args);
    ~CaptureProgram() override;
    bool next(Image& frame) override;
    bool ended() const override { return broken_; }

  private:
    CaptureProgram(pid_t pid, int channel) : pid_(pid), channel_(channel) {}
    bool receive(capture::Header& header, Image& frame, std::string& text, int timeoutMs);
    void end();

    pid_t pid_;
    int channel_;
    bool broken_ = false;
};

// The program of the installation this process belongs to, never another:
// a package runs only what it installed (a build folder's path may be one
// another user can create), and a program of the build tree runs only the
// program built beside it, not a package's of another version.
std::string programPath() {
#ifdef TARVO_CAPTURE_BUILT
    std::error_code ec;
    auto self = std::filesystem::read_symlink("/proc/self/exe", ec).string();
    if (!ec && self.rfind(TARVO_BUILD_TREE "/", 0) == 0) return TARVO_CAPTURE_BUILT;
#endif
    return TARVO_CAPTURE_PREFIX "/libexec/tarvo-capture";
}

// The program's own signal dispositions, whatever this process blocks or
// ignores.
void defaultSignals(posix_spawnattr_t& attributes) {
    sigset_t none, reset;
    sigemptyset(&none);
    sigemptyset(&reset);
    for (int signal : {SIGPIPE, SIGTERM, SIGINT, SIGHUP})
        sigaddset(&reset, signal);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &reset);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
}

Result<std::unique_ptr<VideoSource>> CaptureProgram::start(std::vector<std::string> args) {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return fail(std::string("the camera's channel: ") + std::strerror(errno));
    // Its end must not already sit where it goes: dup2 onto itself would
    // leave it closing at exec.
    if (ends[1] == capture::channel) {
        int moved = ::fcntl(ends[1], F_DUPFD_CLOEXEC, capture::channel + 1);
        ::close(ends[1]);
        ends[1] = moved;
    }
    args.insert(args.begin(), programPath());
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    // FFmpeg's, GStreamer's and OpenCV's complaints would reach the user's
    // terminal in their own words; the program says why in one sentence.
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, ends[1], capture::channel);
    posix_spawn_file_actions_addclosefrom_np(&actions, capture::channel + 1);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    defaultSignals(attributes);
    pid_t pid = -1;
    int spawned = ::posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    ::close(ends[1]);
    if (spawned != 0) {
        ::close(ends[0]);
        return fail(std::string(argv[0]) + ": " + std::strerror(spawned));
    }
    std::unique_ptr<CaptureProgram> program(new CaptureProgram(pid, ends[0]));
    capture::Header header;
    Image none;
    std::string why;
    if (!program->receive(header, none, why, openingMs) ||
        capture::Message(header.message) == capture::Message::frame)
        return fail("the camera's program did not start");
    if (capture::Message(header.message) == capture::Message::failed) return fail(why);
    return {std::move(program)};
}

CaptureProgram::~CaptureProgram() {
    end();
}

// Closing its end tells the program to stop; it gets a second to close the
// camera before it is killed.
void CaptureProgram::end() {
    if (channel_ < 0) return;
    ::close(channel_);
    channel_ = -1;
    // By system call: glibc 2.36 declares pidfd_open for C only.
    int pidfd = int(::syscall(SYS_pidfd_open, pid_, 0));
    pollfd exited{pidfd, POLLIN, 0};
    if (pidfd < 0 || ::poll(&exited, 1, 1000) <= 0) ::kill(pid_, SIGKILL);
    if (pidfd >= 0) ::close(pidfd);
    int status;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
}

// One message of the program's, a frame's bytes into `frame` and a
// failure's into `text`; false, and the program broken for good, when it
// sends what it may not, or not whole in time.
bool CaptureProgram::receive(capture::Header& header, Image& frame, std::string& text,
                             int timeoutMs) {
    auto into = [&](const capture::Header& h) -> void* {
        if (capture::Message(h.message) == capture::Message::frame) {
            frame.create(int(h.rows), int(h.cols), CV_8UC3);
            return frame.data;
        }
        text.assign(h.bytes, '\0');
        return text.data();
    };
    broken_ = broken_ || !capture::receiveMessage(channel_, header, into, timeoutMs);
    return !broken_;
}

bool CaptureProgram::next(Image& frame) {
    char request = 1;
    capture::Header header;
    std::string why;
    broken_ = broken_ || !capture::sendAll(channel_, &request, 1);
    if (!receive(header, frame, why, frameMs)) return false;
    // A failure is the camera having no frame this time; it opens only once.
    broken_ = capture::Message(header.message) == capture::Message::opened;
    return capture::Message(header.message) == capture::Message::frame;
}

} // namespace

Result<std::unique_ptr<VideoSource>> openReplay(const std::filesystem::path& path) {
    return CaptureProgram::start({"replay", path.string()});
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
    if (isReplay(chosen)) return openReplay(chosen);
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
    return CaptureProgram::start({"device", std::to_string(nodeNumber(node))});
}

} // namespace tarvo::platform
