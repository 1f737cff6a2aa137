#pragma once

// Whether this user may use a camera. Linux has no per-application camera
// permission: a user may use a camera when its device node opens for them,
// which membership of the `video` group or the seat's access list grants.
namespace tarvo::platform::CameraAccess {

enum class Status {
    notDetermined, // no capture device yet: nothing to grant
    authorized,
    denied, // a device exists that this user may not open
};

// Probes the devices afresh on every call; no frame is captured.
Status status();

} // namespace tarvo::platform::CameraAccess
