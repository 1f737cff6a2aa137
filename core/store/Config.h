#pragma once

#include "core/store/ModelScale.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarvo {

// The user's recognition settings, kept in "config.json". Every reader loads
// it afresh; nothing caches it across operations.
struct Config {
    enum class Liveness { attention, blink };

    float threshold = 0.55f; // as decoded; load derives it from the sensitivity
    std::int64_t requiredFrames = 3;
    Liveness liveness = Liveness::attention;
    double openEyeAspectRatio = 0.0;
    double sensitivity = 0.0;
    bool warmWithDisplay = true;
    // The camera chosen: a stable name (/dev/v4l/by-id/...) or a node; empty
    // for the first one that delivers colour frames.
    std::string camera;

    // The scale runs from the strictest threshold at sensitivity 0 to the
    // loosest at 1 in 26 steps: the model's own, measured (ModelScale).
    static constexpr double sensitivityStep = 0.04;
    static float strictest() { return ModelScale::current().strictest; }
    static float loosest() { return ModelScale::current().loosest; }
    static float closestStranger() { return ModelScale::current().closestStranger; }
    static std::int64_t strangerPairs() { return ModelScale::current().strangerPairs; }

    // Where the values load gave came from. A file that is there but
    // can't be decoded (or isn't the user's own) never loosens anything:
    // the copy of the last save stands in for it, else the strictest
    // settings do (blink, sensitivity 0).
    enum class Source { file, defaults, lastGood, strictest };

    // Never fails: a missing file gives the defaults at the strictest
    // threshold. The stored threshold is always re-derived.
    static Config load(Source* source = nullptr);
    // What to tell the user about settings that came from `source`, in
    // the words status, the app and the agent's log share; nothing when
    // the file was read.
    static std::optional<std::string_view> problem(Source source);
    // Writes the whole value atomically with mode 0600, then the same as
    // the last good copy; an undecodable file in either place is set aside
    // first, never written over. Throws DataFile::FileError and leaves the
    // old file intact on failure.
    void save() const;
    // Makes the last good copy from a file that decodes, where it is
    // missing or differs (settings saved before there were copies).
    static void keepLastGood();
    void applySensitivity() { threshold = thresholdFor(sensitivity); }
    // As the app's controls set it: the nearest step, and its threshold.
    void setSensitivity(double value) {
        sensitivity = snapped(value);
        applySensitivity();
    }

    static float thresholdFor(double sensitivity);
    // The nearest of the scale's steps, as the app's controls set it.
    static double snapped(double sensitivity);

    // The file's JSON: pretty-printed, keys sorted.
    std::string encode() const;
    // Decodes by the file's rules; nothing when the whole decode fails.
    // Unlike load, keeps the stored threshold as it stands.
    static std::optional<Config> decode(std::string_view json);

    static std::string_view name(Liveness liveness);

    bool operator==(const Config&) const = default;
};

} // namespace tarvo
