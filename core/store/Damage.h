#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

// A file of the user's folder that is there but can't be decoded. It is
// never written over and never read as less protection than it held; the
// same words say so in status, the app and the agent's log; and it can be
// set aside (renamed, never deleted) to start again.
namespace tarvo::Damage {

// What a store tells its callers about its file, for them to switch on.
enum class State { missing, readable, damaged };

inline constexpr std::string_view faces = "Your faces file is damaged";
inline constexpr std::string_view settingsLastGood =
    "Your settings file is damaged: Tarvo uses your last good settings";
inline constexpr std::string_view settingsStrictest =
    "Your settings file is damaged: Tarvo uses the strictest settings (blink, sensitivity 0)";
inline constexpr std::string_view password =
    "The saved password can't be opened \xE2\x80\x94 enter it again";
inline constexpr std::string_view scanHistory =
    "Your record of recent unlocks is damaged: it is kept aside and a new one starts at the next "
    "unlock";
inline constexpr std::string_view passwordAge =
    "The record of when you last typed your password is damaged: face unlock waits until you "
    "type it";

// Whether `path` is there (a dangling link or a FIFO counts: a reader
// that finds nothing usable there has found damage, not absence).
bool present(const std::filesystem::path& path);

// Renames `path` to "<name>.damaged-<UTC time>" beside it (with a number
// after when that name is taken). Nothing when there was no file; throws
// DataFile::FileError when it can't be renamed or isn't a regular file.
std::optional<std::filesystem::path> setAside(const std::filesystem::path& path);

} // namespace tarvo::Damage
