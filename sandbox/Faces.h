#pragma once

#include "core/face/Calibration.h"

#include <filesystem>
#include <string>
#include <vector>

namespace tarvo::sandbox::Faces {

// The sample files, as fetched into data/.
const std::string& data();
// The replayed video of the man the tests enroll.
std::string franckVideo();
// His enrollment samples, from five stills (a still with no usable face is
// skipped, and said so on standard output).
std::vector<Calibration::Sample> stillsOfFranck();
// The largest face of a group photo, cut out with room around it and
// written into `folder`: one person in front of the camera who is not him.
std::filesystem::path someoneElse(const std::filesystem::path& folder);

} // namespace tarvo::sandbox::Faces
