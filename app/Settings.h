#pragma once

#include "core/store/Config.h"

#include <string>

// The settings as the window and tarvoctl change them. Each reads the file
// as it stands, changes one value and saves the whole (Config::save:
// atomically, a damaged file set aside first, never written over). Each
// returns what was stored, or throws DataFile::FileError with the file as
// it was.
namespace tarvo::app::settings {

// To the nearest of the scale's steps, clamped to it.
Config setSensitivity(double sensitivity);
Config setLiveness(Config::Liveness liveness);
Config setWarmWithDisplay(bool on);
// A camera's stable name, a node or a replay; empty for the first camera
// that delivers colour frames.
Config setCamera(const std::string& name);

} // namespace tarvo::app::settings
