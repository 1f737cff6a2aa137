#pragma once

#include "core/face/FaceEngine.h"
#include "core/face/Learning.h"
#include "core/store/Config.h"
#include "core/store/ModelScale.h"
#include "tools/Attacks.h"
#include "tools/Rooms.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// How the shipped detector and model tell one man from strangers, measured
// on the pinned data in good light and in the rooms of tools/Rooms, and the
// threshold scale fitted to it.
namespace tarvo::ModelFigures {

// One room's frames of the video and faces of the photos.
struct RoomFigures {
    std::string room;
    // Every frame of the video as a scan sees it (nothing without exactly
    // one face with a descriptor), in order.
    std::vector<std::optional<FaceEngine::Detection>> stream;
    // Distances to the gallery of every third frame away from the
    // enrollment's samples; a frame in which the face is lost counts as
    // never accepted.
    std::vector<float> frames;
    // Every face of the photos, rendered in this room, against the gallery.
    std::vector<float> galleryStrangers;
    std::vector<Descriptor> strangerFaces; // those faces
};

struct Measurement {
    // Franck enrolled from his video in good light as the guided enrollment
    // takes him: the number of samples and the poses they came from.
    int samples = 0, poses = 0;
    std::vector<Descriptor> gallery;
    double openEyeAspectRatio = 0; // as enrollment calibrates it
    double fps = 0;
    // Frames of the video a probe must not use: within half a second of a
    // sample the enrollment took.
    std::vector<bool> nearSample;
    // His stills (photos of the same man) against the gallery.
    std::vector<float> genuineStills;
    // Pairs of one person's faces in different photos.
    std::vector<float> genuinePairs;
    // Every pair of different people among the photos, in good light.
    std::vector<float> strangerPairs;
    std::vector<Descriptor> strangerFaces; // every face of the photos, in good light
    int people = 0;
    std::vector<RoomFigures> rooms; // in the order asked for
    const RoomFigures& room(const std::string& name) const;
};

// The rooms the scale is fitted to: the strictest threshold must unlock
// in each of them.
inline const std::vector<std::string> fittedRooms = {"recorded", "noise12", "dark"};

// The photo sets under `data`: franck/, faces/ (group photos), strangers/,
// measured in each of `rooms` (names of tools/Rooms).
// Throws std::runtime_error when a set is missing or enrollment can't finish.
Measurement measure(const std::filesystem::path& data,
                    const std::vector<std::string>& rooms = fittedRooms);

// Lock-screen scans over a room's stream, one started every half second
// away from the enrollment's samples, each run by the recognizer with the
// agent's rules at `threshold`: the share that unlocked, in percent.
double scansUnlocked(const Measurement& measured, const RoomFigures& room, float threshold);

// A user's first weeks in one room: scans in an order of `seed`'s, and
// each that misses is followed by the typed password, which teaches the
// face as the agent does (Learning::learn). After each count of confirmed
// misses in `checkpoints` (ascending; 0 is before learning), the share of
// the scans that unlock, in percent, against the enrolled and learned
// samples; scans whose frames taught are not counted.
struct Lessons {
    std::vector<double> unlocked;                 // per checkpoint
    std::vector<int> misses;                      // confirmed misses reached, per checkpoint
    std::vector<std::vector<Descriptor>> learned; // per checkpoint
};
Lessons learnIn(const Measurement& measured, const RoomFigures& room, const Learning::Rule& rule,
                const std::vector<int>& checkpoints, std::uint64_t seed = 1);

// The loosest threshold lies `margin` below the closest stranger pair. The
// strictest is the lowest (on a grid of 0.01) at which `unlockedShare` of
// the scans unlock in every fitted room: 99 %, not 95 %, because these are
// frames of the session he enrolled in, and another day's light, camera
// angle and haircut lie further off. The acceptance at each step is the
// worst of those rooms' scans. Throws std::runtime_error when the rooms
// can't be met short of the loosest.
ModelScale fit(const Measurement& measured, float margin = 0.05f, double unlockedShare = 99.0);

// The frames of the enrolled man's video, as recorded.
std::vector<cv::Mat> recording(const std::filesystem::path& data);

// Someone holding up a picture of the enrolled man: scans started every
// `every` seconds of his video, each showing `attack` (a screen plays the
// video from there, a print shows the scan's first frame), held still or
// moved, seen in `room`, and run by the recognizer with the agent's rules
// and `config`'s threshold and liveness.
struct AttackScans {
    int scans = 0, unlocked = 0;
};
AttackScans attackScans(const Measurement& measured, const std::vector<cv::Mat>& video,
                        const Attacks::Attack& attack, bool moving, const Rooms::Room& room,
                        Config config, double every);

// The share of `distances` at or below `threshold`, in percent.
double acceptedPercent(const std::vector<float>& distances, float threshold);

} // namespace tarvo::ModelFigures
