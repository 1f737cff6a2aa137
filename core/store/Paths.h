#pragma once

#include <filesystem>
#include <optional>
#include <sys/types.h>

namespace tarvo::Paths {

// Where things are; nothing here touches the disk. The folders are made,
// and checked to be the user's own, by those who write into them
// (DataFile::ownFolder).

// The per-user data folder, $XDG_DATA_HOME/tarvo (by default
// ~/.local/share/tarvo, the home taken from the user database).
const std::filesystem::path& dir();

// $XDG_CONFIG_HOME, by default ~/.config: the application's own settings
// and its login item live there.
std::filesystem::path configHome();
std::filesystem::path config();         // "config.json"
std::filesystem::path configLastGood(); // "config.last-good.json": config.json as last saved
std::filesystem::path enrolled();       // "enrolled.json"
std::filesystem::path legacyEnrolled(); // "enrolled.archive"
std::filesystem::path log();            // "tarvo.log"
std::filesystem::path passwordTyped();  // "password-typed": when, in which boot
std::filesystem::path scanHistory();    // "scans.json": the lock screen's recent scans

// The agent's folder in the user's runtime directory, /run/user/<uid>/tarvo.
// The PAM module derives the same path from the uid alone.
const std::filesystem::path& runtimeDir();
std::filesystem::path socket(); // "agent.sock"
// The same paths of any user, derived and not made.
std::filesystem::path runtimeDirOf(uid_t uid);
std::filesystem::path socketOf(uid_t uid);
std::filesystem::path lockFile(); // "agent.lock": held by the running agent

// The embedding model: TARVO_MODEL as given; else "FaceEmbedding.tflite" or
// ".onnx" in the installed data folder, then beside the executable. Its
// description file has the same name with ".json".
std::optional<std::filesystem::path> model();

} // namespace tarvo::Paths
