#include "platform/app/CameraAccess.h"

#include "platform/face/VideoSource.h"

namespace tarvo::platform::CameraAccess {

Status status() {
    switch (probeDefaultSource().kind) {
    case DeviceProbe::Kind::denied:
        return Status::denied;
    case DeviceProbe::Kind::noDevice:
        return Status::notDetermined;
    case DeviceProbe::Kind::ready:
    case DeviceProbe::Kind::failed:
        // A device that opens but fails otherwise (busy, a replay that is
        // missing) is not a question of permission: the camera says why
        // when it starts.
        break;
    }
    return Status::authorized;
}

} // namespace tarvo::platform::CameraAccess
