#pragma once

#include <filesystem>
#include <optional>
#include <sys/types.h>

namespace tarvo::Paths {

// The per-user data folder, $XDG_DATA_HOME/tarvo (by default
// ~/.local/share/tarvo, the home taken from the user database). The first
// call in a process creates it with mode 0700, or narrows it to 0700 if it
// already existed wider; later calls touch nothing on disk.
const std::filesystem::path& dir();

// $XDG_CONFIG_HOME, by default ~/.config: the application's own settings
// and its login item live there.
std::filesystem::path configHome();
std::filesystem::path config();         // "config.json"
std::filesystem::path enrolled();       // "enrolled.json"
std::filesystem::path legacyEnrolled(); // "enrolled.archive"
std::filesystem::path log();            // "tarvo.log"

// The agent's folder in the user's runtime directory, /run/user/<uid>/tarvo,
// created 0700 on first use where the runtime directory exists. The PAM
// module derives the same path from the uid alone.
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
