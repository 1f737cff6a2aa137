// tarvo-capture: one camera or replay, frames handed to the process that
// started it over its channel (see CaptureChannel.h). Replays and V4L2
// cameras go through OpenCV's videoio and imgcodecs, which stay out of the
// processes that ask for frames.
//   tarvo-capture device N        /dev/videoN
//   tarvo-capture replay PATH     a video, an image or a folder of images
#include "platform/face/CaptureChannel.h"
#include "platform/face/VideoSource.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <string>
#include <thread>
#include <vector>

namespace tarvo::platform {
namespace {

using Clock = std::chrono::steady_clock;

// Paces frames to a rate: next() returns when frame n is due.
class Pacer {
  public:
    explicit Pacer(double fps) : interval_(1.0 / (fps > 0 && fps < 1000 ? fps : 30.0)) {}
    void wait() {
        auto due = start_ + std::chrono::duration_cast<Clock::duration>(
                                std::chrono::duration<double>(interval_ * count_++));
        std::this_thread::sleep_until(due);
    }

  private:
    double interval_;
    Clock::time_point start_ = Clock::now();
    long long count_ = 0;
};

class VideoReplay : public VideoSource {
  public:
    VideoReplay(cv::VideoCapture capture, double fps) : capture_(std::move(capture)), pacer_(fps) {}
    bool next(Image& frame) override {
        pacer_.wait();
        if (capture_.read(frame) && !frame.empty()) return true;
        // The end: loop from the first frame.
        capture_.set(cv::CAP_PROP_POS_FRAMES, 0);
        return capture_.read(frame) && !frame.empty();
    }

  private:
    cv::VideoCapture capture_;
    Pacer pacer_;
};

class ImageReplay : public VideoSource {
  public:
    explicit ImageReplay(std::vector<std::filesystem::path> files)
        : files_(std::move(files)), pacer_(30) {}
    bool next(Image& frame) override {
        pacer_.wait();
        for (size_t tries = 0; tries < files_.size(); ++tries) {
            frame = cv::imread(files_[index_++ % files_.size()].string(), cv::IMREAD_COLOR);
            if (!frame.empty()) return true;
        }
        return false;
    }

  private:
    std::vector<std::filesystem::path> files_;
    size_t index_ = 0;
    Pacer pacer_;
};

class V4l2Camera : public VideoSource {
  public:
    explicit V4l2Camera(cv::VideoCapture capture) : capture_(std::move(capture)) {}
    bool next(Image& frame) override { return capture_.read(frame) && !frame.empty(); }

  private:
    cv::VideoCapture capture_;
};

bool isImage(const std::filesystem::path& path) {
    std::string ext = path.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
    return ext == ".jpg" || ext == ".jpeg" || ext == ".png" || ext == ".bmp" || ext == ".webp";
}

Result<std::unique_ptr<VideoSource>> replay(const std::filesystem::path& path) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec) || isImage(path)) {
        std::vector<std::filesystem::path> files;
        if (isImage(path))
            files.push_back(path);
        else
            for (const auto& entry : std::filesystem::directory_iterator(path, ec))
                if (isImage(entry.path())) files.push_back(entry.path());
        std::sort(files.begin(), files.end());
        if (files.empty() || !std::filesystem::exists(files.front(), ec))
            return fail(path.string() + ": no images to replay");
        return {std::make_unique<ImageReplay>(std::move(files))};
    }
    cv::VideoCapture capture(path.string());
    if (!capture.isOpened()) return fail(path.string() + ": cannot be opened as a video");
    double fps = capture.get(cv::CAP_PROP_FPS);
    return {std::make_unique<VideoReplay>(std::move(capture), fps)};
}

Result<std::unique_ptr<VideoSource>> device(int index) {
    cv::VideoCapture capture(index, cv::CAP_V4L2);
    if (!capture.isOpened())
        return fail("/dev/video" + std::to_string(index) + " could not be opened");
    capture.set(cv::CAP_PROP_FRAME_WIDTH, 1280);
    capture.set(cv::CAP_PROP_FRAME_HEIGHT, 720);
    // Keep the driver's queue short so frames are fresh.
    capture.set(cv::CAP_PROP_BUFFERSIZE, 1);
    return {std::make_unique<V4l2Camera>(std::move(capture))};
}

Result<std::unique_ptr<VideoSource>> sourceFrom(int argc, char** argv) {
    std::string kind = argc == 3 ? argv[1] : "";
    if (kind == "replay") return replay(argv[2]);
    if (kind == "device") return device(std::atoi(argv[2]));
    return fail("usage: tarvo-capture device N | replay PATH");
}

bool say(capture::Message message, const Image* frame = nullptr, const std::string& text = {}) {
    capture::Header header{std::uint32_t(message), 0, 0, std::uint32_t(text.size())};
    if (frame) {
        header.rows = std::uint32_t(frame->rows);
        header.cols = std::uint32_t(frame->cols);
        header.bytes = header.rows * header.cols * 3;
    }
    if (!capture::plausible(header))
        return say(capture::Message::failed, nullptr, "a frame too large");
    return capture::sendAll(capture::channel, &header, sizeof header) &&
           (frame ? capture::sendAll(capture::channel, frame->data, header.bytes)
                  : capture::sendAll(capture::channel, text.data(), text.size()));
}

// Frames travel as 8-bit BGR whatever the source gives: an infrared
// camera's grey, a PNG's alpha.
bool toBgr(Image& frame) {
    if (frame.empty()) return false;
    if (frame.depth() != CV_8U)
        frame.convertTo(frame, CV_8U, frame.depth() == CV_16U ? 1 / 256.0 : 1);
    if (frame.channels() == 1) cv::cvtColor(frame, frame, cv::COLOR_GRAY2BGR);
    if (frame.channels() == 4) cv::cvtColor(frame, frame, cv::COLOR_BGRA2BGR);
    if (!frame.isContinuous()) frame = frame.clone();
    return frame.type() == CV_8UC3;
}

} // namespace
} // namespace tarvo::platform

using namespace tarvo::platform;

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    auto source = sourceFrom(argc, argv);
    if (!source) {
        say(capture::Message::failed, nullptr, source.error().text.substr(0, capture::longestText));
        return 1;
    }
    if (!say(capture::Message::opened)) return 1;
    // Until the parent closes its end: one frame for each byte it sends.
    Image frame;
    char request;
    while (capture::receiveAll(capture::channel, &request, 1, -1)) {
        bool sent = (*source)->next(frame) && toBgr(frame)
                        ? say(capture::Message::frame, &frame)
                        : say(capture::Message::failed, nullptr, "the camera delivered no frame");
        if (!sent) return 1;
    }
    return 0;
}
