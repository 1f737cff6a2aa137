#pragma once

#include "core/store/ModelScale.h"

#include <filesystem>
#include <string>
#include <vector>

// How the shipped detector and model tell one man from strangers, measured
// on the pinned data, and the threshold scale fitted to it.
namespace tarvo::ModelFigures {

struct Measurement {
    // Franck enrolled from his video as the guided enrollment takes him:
    // the number of samples and the poses they came from.
    int samples = 0, poses = 0;
    // Distances to that gallery: every other frame of the video with one
    // face (same session), and his stills (photos of the same man).
    std::vector<float> genuineFrames, genuineStills;
    // Pairs of one person's faces in different photos.
    std::vector<float> genuinePairs;
    // Every pair of different people among the photos, and every one of
    // them against Franck's gallery.
    std::vector<float> strangerPairs, galleryStrangers;
    int people = 0;
};

// The photo sets under `data`: franck/, faces/ (group photos), strangers/.
// Throws std::runtime_error when a set is missing or enrollment can't finish.
Measurement measure(const std::filesystem::path& data);

// The loosest threshold lies `margin` below the closest stranger pair; the
// strictest is the lowest at which `acceptedShare` of the frames match.
ModelScale fit(const Measurement& measured, float margin = 0.05f, double acceptedShare = 0.95);

// The share of `distances` at or below `threshold`, in percent.
double acceptedPercent(const std::vector<float>& distances, float threshold);

} // namespace tarvo::ModelFigures
