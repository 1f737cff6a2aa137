#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What became of the lock screen's recent scans, for the user's own
// figures: times and outcomes only, never an image. Kept in "scans.json",
// written by the agent alone; a file that can't be decoded counts as
// empty and is set aside, not written over, when the next scan is added.
namespace tarvo::ScanHistory {

enum class Outcome {
    unlocked,          // by face
    notSeen,           // no face with open eyes came to be compared
    notRecognized,     // a face, not within the threshold
    passwordAfterMiss, // the lock screen took the typed password after a miss
};

struct Entry {
    double at = 0; // Unix seconds
    Outcome outcome{};
    double seconds = 0; // how long the scan took; 0 for a password
    bool operator==(const Entry&) const = default;
};

inline constexpr std::size_t kept = 400;
inline constexpr double keptDays = 90;

// The entries, oldest first; none when the file is missing or damaged.
std::vector<Entry> entries();
// Whether the file is there but can't be decoded (the next add sets it aside).
bool damaged();
// Adds one, dropping the oldest beyond `kept` or `keptDays`. Throws
// DataFile::FileError.
void add(const Entry& entry);

struct Figures {
    int byFace = 0;                      // unlocked by face
    int unlocks = 0;                     // by face, or by the password typed after a miss
    std::optional<double> medianSeconds; // of the face unlocks
};
Figures figures(const std::vector<Entry>& entries, double now, double days = 30);
// "Unlocked by face 41 of 45 times in the last 30 days, median 0.4 s";
// nothing before the first unlock that followed a scan.
std::optional<std::string> summary(double now);

std::string encode(const std::vector<Entry>& entries);
std::optional<std::vector<Entry>> decode(std::string_view text);

} // namespace tarvo::ScanHistory
