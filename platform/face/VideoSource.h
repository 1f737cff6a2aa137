#pragma once

#include "platform/Result.h"

#include <filesystem>
#include <memory>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

namespace tarvo::platform {

// The image type frames travel in: 8-bit BGR, as OpenCV delivers them.
using Image = cv::Mat;

// Where frames come from: a V4L2 camera, or a replay of a video or images
// for machines without one.
class VideoSource {
  public:
    virtual ~VideoSource() = default;
    // Blocks until the next frame is due and returns it; false when there
    // is none this time, or the source has ended.
    virtual bool next(Image& frame) = 0;
    // The source failed for good (its program died or stopped answering):
    // only a new one delivers again.
    virtual bool ended() const { return false; }
};

// What a source would be, without keeping it open.
struct DeviceProbe {
    // missing: the camera chosen is not on this machine now.
    enum class Kind { ready, noDevice, denied, missing, failed };
    Kind kind = Kind::noDevice;
    std::string text; // the device or replay; the system's words for `failed`
};

// The variable that names a video file, an image or a folder of images to
// replay instead of a camera.
inline constexpr const char* replayVariable = "TARVO_CAMERA";

// A video-capture device of this machine.
struct CaptureDevice {
    std::string node;                 // /dev/videoN
    std::string name;                 // its stable name: the /dev/v4l/by-id link, else the node
    std::string card;                 // what its driver calls it
    std::vector<std::string> formats; // pixel formats, as four-character codes
    bool colour = false;              // it delivers colour frames (an infrared one: grey)
    bool allowed = false;             // this user may open it (else nothing more is known)
};
// Every capture device, by node number.
std::vector<CaptureDevice> captureDevices();

// Whether the camera chosen is a video file, an image or a folder of
// images to replay (an absolute path, outside /dev), for trying Tarvo
// without a camera.
bool isReplay(const std::string& chosen);

// The source a scan uses: the replay when TARVO_CAMERA is set; else the
// replay or the device `chosen` names (a stable name or a node); with none chosen, the
// first capture device that delivers colour frames, else the first at all.
// Probing says ready, noDevice, denied (a device exists that this user may
// not open), missing (the chosen one isn't here) or failed.
DeviceProbe probeSource(const std::string& chosen = {});
Result<std::unique_ptr<VideoSource>> openSource(const std::string& chosen = {});

// Replays a video file at its own frame rate, or an image or a folder of
// images (sorted by name) at 30 frames a second, in real time, looping.
Result<std::unique_ptr<VideoSource>> openReplay(const std::filesystem::path& path);

} // namespace tarvo::platform
