#include "core/system/CameraCheck.h"

#include "core/face/Camera.h"
#include "core/store/Config.h"
#include "platform/face/VideoSource.h"

#include <cstdlib>

namespace tarvo::CameraCheck {

State current() {
    auto chosen = Config::load().camera;
    switch (platform::probeSource(chosen).kind) {
    case platform::DeviceProbe::Kind::ready:
    case platform::DeviceProbe::Kind::failed:
        // A camera that opens but fails otherwise (busy, a replay that is
        // missing) is no question of access: the camera says why when it
        // starts.
        return {Kind::ready, {}};
    case platform::DeviceProbe::Kind::denied:
        return {Kind::denied, Camera::CameraError::denied().what()};
    case platform::DeviceProbe::Kind::missing:
        return {Kind::missing, Camera::CameraError::missing(chosen).what()};
    case platform::DeviceProbe::Kind::noDevice:
        break;
    }
    return {Kind::none, Camera::CameraError::noDevice().what()};
}

std::vector<Choice> choices() {
    auto chosen = platform::probeSource(Config::load().camera);
    std::vector<Choice> list;
    // A replay in use is the camera, for tarvoctl camera as for status.
    const char* replayed = std::getenv(platform::replayVariable);
    if (replayed || platform::isReplay(chosen.text))
        list.push_back({replayed ? replayed : chosen.text, "a replay of a video or images", "",
                        false, true, true});
    for (const auto& device : platform::captureDevices()) {
        std::string formats;
        for (const auto& format : device.formats)
            formats += (formats.empty() ? "" : " ") + format;
        list.push_back(
            {device.name, device.card, formats, device.allowed && !device.colour, device.allowed,
             chosen.kind == platform::DeviceProbe::Kind::ready && chosen.text == device.node});
    }
    return list;
}

} // namespace tarvo::CameraCheck
