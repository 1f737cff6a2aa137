#pragma once

#include "platform/Result.h"

#include <filesystem>

// The application's login item: an XDG autostart entry, "tarvo.desktop" in
// the "autostart" folder of the user's configuration folder, that starts
// the application with a marker in its environment so that it knows it was
// started at login.
namespace tarvo::platform::LoginItem {

inline constexpr const char* atLoginVariable = "TARVO_STARTED_AT_LOGIN";

std::filesystem::path entry(const std::filesystem::path& configHome);
// Our entry exists and the user hasn't hidden it (Hidden=true, which is how
// desktops' session settings switch an entry off).
bool isEnabled(const std::filesystem::path& configHome);
// Writes the entry, starting `program`, or removes it.
Result<void> setEnabled(const std::filesystem::path& configHome, bool on,
                        const std::filesystem::path& program);
// This process was started by the entry.
bool startedAtLogin();

} // namespace tarvo::platform::LoginItem
