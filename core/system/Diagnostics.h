#pragma once

#include "core/face/Camera.h"

#include <string>

// One JSON text describing the installation for support: version, system,
// enrolled faces, settings, the lock screen's wiring, the agent's files and,
// optionally, a short live camera test. It only reads state.
namespace tarvo::Diagnostics {

inline constexpr const char* failureText =
    "{\"error\": \"could not serialize the diagnostics report\"}";

// With the camera test the call blocks for about 1.2 to 5.5 seconds. The
// camera opens `source` when given, else the system's default.
std::string report(bool includeCamera, Camera::SourceFactory source = {});

} // namespace tarvo::Diagnostics
