#include "core/face/Camera.h"

#include "core/store/Config.h"
#include "core/system/CameraCheck.h"
#include "sandbox/BuildTree.h"
#include "sandbox/Sandbox.h"
#include "sandbox/SyslogCapture.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <semaphore>
#include <sys/stat.h>
#include <sys/sysmacros.h>

using tarvo::Camera;
using namespace std::chrono_literals;
namespace sb = tarvo::sandbox;

namespace {

const std::filesystem::path franck = sb::tree::data("franck/franck.mp4");

Camera::SourceFactory replay(const std::filesystem::path& path) {
    return [path] { return tarvo::platform::openReplay(path); };
}

// A source that hands out one grey frame each time the test releases it;
// `taken` counts the frames the camera has come back after, so has passed on.
class GatedSource : public tarvo::platform::VideoSource {
  public:
    explicit GatedSource(std::counting_semaphore<64>& gate, std::atomic<int>* taken = nullptr)
        : gate_(gate), taken_(taken) {}
    bool next(Camera::Image& frame) override {
        if (taken_ && std::exchange(handedOut_, false)) ++*taken_;
        if (!gate_.try_acquire_for(50ms)) return false;
        handedOut_ = true;
        frame = Camera::Image(72, 128, CV_8UC3, cv::Scalar(90, 90, 90));
        return true;
    }

  private:
    std::counting_semaphore<64>& gate_;
    std::atomic<int>* taken_;
    bool handedOut_ = false;
};

TEST(CameraTest, ReplayDeliversFramesAndASecondStartKeepsTheFirstCallback) {
    Camera camera(replay(franck));
    std::atomic<int> first = 0, second = 0;
    camera.start([&](const Camera::Image&) { ++first; });
    ASSERT_TRUE(camera.isRunning());
    ASSERT_TRUE(sb::eventually([&] { return camera.framesDelivered() >= 5; }, 3s));
    auto frame = camera.latestFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->type(), CV_8UC3);
    EXPECT_GT(frame->cols, 0);

    auto before = camera.framesDelivered();
    camera.start([&](const Camera::Image&) { ++second; });
    ASSERT_TRUE(sb::eventually([&] { return camera.framesDelivered() >= before + 3; }, 3s))
        << "counters are not reset";
    camera.stop();
    EXPECT_FALSE(camera.isRunning());
    EXPECT_EQ(second, 0);
    EXPECT_GE(first, 8);
    auto kept = camera.framesDelivered();
    EXPECT_TRUE(camera.latestFrame()) << "kept until the next start";
    camera.stop();
    EXPECT_EQ(camera.framesDelivered(), kept);
}

TEST(CameraTest, RestartClearsTheCountersUntilTheNextFrame) {
    std::counting_semaphore<64> gate(0);
    Camera camera([&]() -> tarvo::platform::Result<std::unique_ptr<tarvo::platform::VideoSource>> {
        return {std::make_unique<GatedSource>(gate)};
    });
    camera.start([](const Camera::Image&) {});
    gate.release();
    ASSERT_TRUE(sb::eventually([&] { return camera.framesDelivered() == 1; }, 3s));
    camera.stop();
    camera.start([](const Camera::Image&) {});
    EXPECT_EQ(camera.framesDelivered(), 0);
    EXPECT_FALSE(camera.latestFrame());
    gate.release();
    ASSERT_TRUE(sb::eventually([&] { return camera.framesDelivered() == 1; }, 3s));
    EXPECT_TRUE(camera.latestFrame());
    camera.stop();
}

TEST(CameraTest, WarmUp) {
    std::counting_semaphore<64> gate(0);
    Camera camera([&]() -> tarvo::platform::Result<std::unique_ptr<tarvo::platform::VideoSource>> {
        return {std::make_unique<GatedSource>(gate)};
    });
    camera.start([](const Camera::Image&) {});
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(camera.warmUp(0, 0, 5));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
    start = std::chrono::steady_clock::now();
    EXPECT_FALSE(camera.warmUp(3, 0, 0.4)) << "no frames at all";
    EXPECT_GE(std::chrono::steady_clock::now() - start, 400ms);
    gate.release();
    EXPECT_TRUE(camera.warmUp(3, 0, 0.4)) << "one frame is enough once the time is out";
    gate.release(5);
    EXPECT_TRUE(camera.warmUp(3, 0.2, 2));
    camera.stop();
}

// While the consumer is busy with one frame, twenty more arrive; it then
// gets the latest, not a queue of all twenty.
TEST(CameraTest, ASlowConsumerGetsRecentFramesNotAQueue) {
    std::counting_semaphore<64> gate(0), busy(0);
    std::atomic<int> seen = 0, taken = 0;
    Camera camera([&]() -> tarvo::platform::Result<std::unique_ptr<tarvo::platform::VideoSource>> {
        return {std::make_unique<GatedSource>(gate, &taken)};
    });
    camera.start([&](const Camera::Image&) {
        if (++seen == 1) busy.acquire();
    });
    gate.release();
    ASSERT_TRUE(sb::eventually([&] { return seen == 1; }, 3s));
    gate.release(20);
    ASSERT_TRUE(sb::eventually([&] { return taken == 21; }, 3s));
    busy.release();
    EXPECT_TRUE(sb::eventually([&] { return seen == 2; }, 3s));
    EXPECT_FALSE(sb::eventually([&] { return seen > 2; }, 200ms));
    camera.stop();
}

// Frames come from a program of their own, so that the camera's libraries
// never load here; it ends with its source, and a program that dies takes
// the source with it rather than hanging whoever waits for a frame.
TEST(CameraTest, FramesComeFromAProgramThatEndsWithTheSource) {
    auto camerasLibraries = [] {
        auto maps = sb::readFile("/proc/self/maps");
        return maps.find("libopencv_videoio") != std::string::npos ||
               maps.find("libavcodec") != std::string::npos;
    };
    // The sanitizer build's test links them, for the sandbox's replays.
    bool linked = camerasLibraries();
    auto source = tarvo::platform::openReplay(franck);
    ASSERT_TRUE(source) << source.error().text;
    Camera::Image frame;
    ASSERT_TRUE((*source)->next(frame));
    EXPECT_EQ(frame.type(), CV_8UC3);
    EXPECT_GT(frame.cols, 0);
    EXPECT_EQ(camerasLibraries(), linked) << "loaded here";
    ASSERT_EQ(sb::capturePrograms().size(), 1u);
    source->reset();
    EXPECT_TRUE(sb::capturePrograms().empty()) << "ended and reaped";

    source = tarvo::platform::openReplay(franck);
    ASSERT_TRUE(source);
    ::kill(sb::capturePrograms().at(0), SIGKILL);
    EXPECT_FALSE((*source)->next(frame));
    EXPECT_FALSE((*source)->next(frame)) << "failed for good";
    source->reset();
    EXPECT_TRUE(sb::capturePrograms().empty());

    // What the program could not open, in its words.
    auto notVideo = sb::root() / "notes.txt";
    sb::writeFile(notVideo, "not a video");
    auto failed = tarvo::platform::openReplay(notVideo);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().text, notVideo.string() + ": cannot be opened as a video");
    auto empty = sb::root() / "no-images";
    std::filesystem::create_directories(empty);
    failed = tarvo::platform::openReplay(empty);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().text, empty.string() + ": no images to replay");
    EXPECT_TRUE(sb::capturePrograms().empty());
}

// A lock screen's camera runs for hours: a program that dies, or stops
// answering, is reaped and replaced while the camera runs, not left to
// fail every scan until the next unlock.
TEST(CameraTest, AProgramThatDiesOrStallsIsReplaced) {
    Camera camera(replay(franck));
    std::atomic<int> frames{0};
    camera.start([&](const Camera::Image&) { ++frames; });
    auto deliversAgain = [&] {
        int before = frames;
        return sb::eventually([&] { return frames > before + 5; }, 15s);
    };
    ASSERT_TRUE(deliversAgain());
    for (int signal : {SIGKILL, SIGSTOP}) {
        SCOPED_TRACE(signal);
        auto programs = sb::capturePrograms();
        ASSERT_EQ(programs.size(), 1u);
        ::kill(programs[0], signal);
        EXPECT_TRUE(deliversAgain());
        EXPECT_TRUE(sb::eventually([&] { return sb::capturePrograms().size() == 1u; }, 5s))
            << "the old one reaped";
        EXPECT_NE(sb::capturePrograms().at(0), programs[0]);
    }
    camera.stop();
    EXPECT_TRUE(sb::capturePrograms().empty());
}

// The system's default source: a replay when TARVO_CAMERA names one, else
// the first V4L2 capture device.
TEST(CameraTest, DefaultSourceErrors) {
    auto startFails = [] {
        auto error = sb::thrown<Camera::CameraError>([] { Camera().start([](const auto&) {}); });
        return error ? std::string(error->what()) : "started";
    };
    ::setenv(tarvo::platform::replayVariable, "/nonexistent/clip.mp4", 1);
    EXPECT_EQ(startFails(),
              "camera setup failed: /nonexistent/clip.mp4: No such file or directory");
    ::setenv(tarvo::platform::replayVariable, franck.c_str(), 1);
    Camera replayed;
    replayed.start([](const Camera::Image&) {});
    EXPECT_TRUE(replayed.warmUp(2, 0, 3));
    replayed.stop();
    ::unsetenv(tarvo::platform::replayVariable);

    if (std::filesystem::exists("/dev/video0")) GTEST_SKIP() << "this machine has a camera";
    EXPECT_EQ(startFails(), "No camera found. Plug one in.");
    EXPECT_EQ(tarvo::CameraCheck::current().problem, "No camera found. Plug one in.");

    // A camera chosen in the settings that is not connected now is said by
    // its name, not taken for another one.
    tarvo::Config config;
    config.camera = "/dev/v4l/by-id/usb-Example_Webcam-video-index0";
    config.save();
    const std::string gone = "The camera chosen (" + config.camera +
                             ") is not connected. Plug it in, or choose another.";
    EXPECT_EQ(startFails(), gone);
    EXPECT_EQ(tarvo::CameraCheck::current().kind, tarvo::CameraCheck::Kind::missing);
    EXPECT_EQ(tarvo::CameraCheck::current().problem, gone);
    tarvo::Config().save();
}

// A camera node this user may not open: access denied. The node is made in
// the test's private /dev, never the machine's.
TEST(CameraTest, DeviceThisUserMayNotOpenIsDenied) {
    if (geteuid() != 0 || !sb::SyslogCapture::install()) GTEST_SKIP() << "needs a private /dev";
    if (std::filesystem::exists("/dev/video0")) GTEST_SKIP() << "this machine has a camera";
    ASSERT_EQ(mknod("/dev/video0", S_IFCHR | 0600, makedev(81, 0)), 0);
    auto said = sb::outputAs(sb::aliceUid, [] {
        auto denied = sb::thrown<Camera::CameraError>(Camera::ensureUsable);
        return denied ? std::string(denied->what()) : "authorized";
    });
    unlink("/dev/video0");
    EXPECT_EQ(said.rfind("Tarvo may not use the camera. ", 0), 0u) << said;
}

} // namespace
