#pragma once

#include "core/face/Calibration.h"
#include "platform/face/VideoSource.h"

#include <array>
#include <filesystem>
#include <functional>
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

// The man of the video as a cooperative user poses for guided enrollment:
// for each of the plan's six steps, real frames of his in which he holds
// that step's pose (he looks straight with his head a little raised, turns
// left and right, lifts his chin and tucks it in).
using Poses = std::array<std::vector<platform::Image>, 6>;
const Poses& franckPoses();

// A folder to replay (TARVO_CAMERA) at 30 frames a second: each group's
// frames, over and over, for `framesEach` frames, one group after another.
std::filesystem::path writeReplay(const std::filesystem::path& folder,
                                  const std::vector<std::vector<platform::Image>>& groups,
                                  int framesEach);

// Enrolls him as `name` as the guided enrollment takes him: two frames of
// each of the plan's six poses.
void enrollAsGuided(const std::string& name);

// `count` frames of the video from where he looks at the screen (frames
// the enrollment never takes), in order.
std::vector<platform::Image> lookingAtTheScreen(int count);
// The same as stills in `folder`, for a replay at 30 frames a second.
std::filesystem::path writeLookingAtTheScreen(const std::filesystem::path& folder, int count);

// The same poses as a folder to replay (TARVO_CAMERA): each step's pose for
// `seconds`, one after the other, in the plan's order. Looping, it comes
// round again well within a step's 25 seconds.
std::filesystem::path writeTurns(const std::filesystem::path& folder, double seconds = 3.5);

// A camera in front of him that shows, at 30 frames a second, the frames
// of the pose that `pose` names (an index into franckPoses), or an empty
// room when it names none. A user following the prompts shows the pose of
// the step the enrollment is at.
class PosingCamera : public platform::VideoSource {
  public:
    explicit PosingCamera(std::function<int()> pose) : pose_(std::move(pose)) {}
    bool next(platform::Image& frame) override;

  private:
    std::function<int()> pose_;
    std::size_t shown_ = 0;
};

} // namespace tarvo::sandbox::Faces
