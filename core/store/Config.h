#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarvo {

// The user's recognition settings, kept in "config.json". Every reader loads
// it afresh; nothing caches it across operations.
struct Config {
    enum class Liveness { attention, blink };

    float threshold = 0.55f;
    std::int64_t requiredFrames = 3;
    Liveness liveness = Liveness::attention;
    double openEyeAspectRatio = 0.0;
    double scanTimeout = 15.0;
    double sensitivity = 0.0;
    bool warmWithDisplay = true;

    static constexpr float strictest = 0.45f;
    static constexpr float loosest = 0.70f;
    static constexpr float closestStranger = 0.758f;
    static constexpr double sensitivityStep = 0.04;
    // Genuine acceptance in percent at the thresholds 0.45, 0.46, ... 0.70.
    static constexpr std::array<double, 26> measuredAcceptance = {
        70.6, 73.5, 76.4, 78.2, 79.8, 83.3, 85.7, 88.1, 89.4, 91.0, 91.5, 92.3, 92.8,
        94.2, 95.0, 96.3, 96.8, 97.6, 97.6, 97.6, 97.6, 97.9, 97.9, 98.1, 98.4, 98.4};

    // Never fails: a missing or undecodable file gives the defaults at the
    // strictest threshold. The stored threshold is always re-derived.
    static Config load();
    // Writes the whole value atomically with mode 0600; throws
    // DataFile::WriteError and leaves the old file intact on failure.
    void save() const;
    void applySensitivity() { threshold = thresholdFor(sensitivity); }

    static float thresholdFor(double sensitivity);
    static double measuredAcceptanceFor(double sensitivity);

    // The file's JSON: pretty-printed, keys sorted.
    std::string encode() const;
    // Decodes by the file's rules; nothing when the whole decode fails.
    // Unlike load, keeps the stored threshold as it stands.
    static std::optional<Config> decode(std::string_view json);

    static std::string_view name(Liveness liveness);

    bool operator==(const Config&) const = default;
};

} // namespace tarvo
