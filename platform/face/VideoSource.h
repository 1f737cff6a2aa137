#pragma once

#include "platform/Result.h"

#include <filesystem>
#include <memory>
#include <opencv2/core.hpp>
#include <string>

namespace tarvo::platform {

// The image type frames travel in: 8-bit BGR, as OpenCV delivers them.
using Image = cv::Mat;

// Where frames come from: a V4L2 camera, or a replay of a video or images
// for machines without one.
class VideoSource {
  public:
    virtual ~VideoSource() = default;
    // Blocks until the next frame is due and returns it; false when the
    // source has failed for good.
    virtual bool next(Image& frame) = 0;
};

// What the default source would be, without keeping it open.
struct DeviceProbe {
    enum class Kind { ready, noDevice, denied, failed };
    Kind kind = Kind::noDevice;
    std::string text; // the system's words, for `failed`
};

// The variable that names a video file, an image or a folder of images to
// replay instead of a camera.
inline constexpr const char* replayVariable = "TARVO_CAMERA";

// The replay source when TARVO_CAMERA is set, else the first V4L2 capture
// device: ready, denied (a device exists that this user may not open),
// noDevice, or failed with the system's text.
DeviceProbe probeDefaultSource();
Result<std::unique_ptr<VideoSource>> openDefaultSource();

// Replays a video file at its own frame rate, or an image or a folder of
// images (sorted by name) at 30 frames a second, in real time, looping.
Result<std::unique_ptr<VideoSource>> openReplay(const std::filesystem::path& path);

} // namespace tarvo::platform
