#pragma once

#include <filesystem>

namespace tarvo::Paths {

// The per-user folder, relative to the home directory. The PAM module builds
// the socket path from the same text, so this is a contract between the two.
inline constexpr const char* relativeDir = "Library/Application Support/Tarvo";

// The folder itself. The first call in a process creates it with mode 0700,
// or narrows it to 0700 if it already existed wider; later calls touch
// nothing on disk.
const std::filesystem::path& dir();

std::filesystem::path config();         // "config.json"
std::filesystem::path enrolled();       // "enrolled.json"
std::filesystem::path legacyEnrolled(); // "enrolled.archive"
std::filesystem::path log();            // "tarvo.log"
std::filesystem::path socket();         // "agent.sock"

} // namespace tarvo::Paths
