// The capture backend: replays and V4L2 cameras through OpenCV's videoio
// and imgcodecs, which bring some 240 libraries (FFmpeg, GStreamer, GDAL)
// and a fifth of a second of loading with them. It is a module of its own,
// loaded on the first camera a process opens, so that a process that never
// opens one (tarvoctl status, the helper) starts at once.
#include "platform/face/VideoSource.h"

#include <algorithm>
#include <chrono>
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
    bool next(Image& frame) override {
        if (!capture_.read(frame) || frame.empty()) return false;
        // An infrared camera's grey frames go through the pipeline as any.
        if (frame.channels() == 1) cv::cvtColor(frame, frame, cv::COLOR_GRAY2BGR);
        return true;
    }

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

} // namespace
} // namespace tarvo::platform

using tarvo::platform::VideoSource;

// The module's entry points: a source, or null with `error` set.
extern "C" VideoSource* tarvo_capture_replay(const char* path, std::string* error) {
    auto made = tarvo::platform::replay(path);
    if (!made) {
        *error = made.error().text;
        return nullptr;
    }
    return made->release();
}

extern "C" VideoSource* tarvo_capture_device(int index, std::string* error) {
    cv::VideoCapture capture(index, cv::CAP_V4L2);
    if (!capture.isOpened()) {
        *error = "/dev/video" + std::to_string(index) + " could not be opened";
        return nullptr;
    }
    capture.set(cv::CAP_PROP_FRAME_WIDTH, 1280);
    capture.set(cv::CAP_PROP_FRAME_HEIGHT, 720);
    // Keep the driver's queue short so frames are fresh.
    capture.set(cv::CAP_PROP_BUFFERSIZE, 1);
    return new tarvo::platform::V4l2Camera(std::move(capture));
}
