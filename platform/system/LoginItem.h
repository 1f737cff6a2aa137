#pragma once

#include "platform/Result.h"

#include <filesystem>

// XDG autostart entries of ours, in the "autostart" folder of the user's
// configuration folder: the application's ("tarvo.desktop"; it starts with
// a marker in its environment so that it knows it was started at login),
// shown in the tray when the user asks for it; and the agent's
// ("tarvo-agent.desktop", `tarvoctl agent`) where no systemd user manager
// runs to host it.
namespace tarvo::platform::LoginItem {

enum class Which { app, agent };

inline constexpr const char* atLoginVariable = "TARVO_STARTED_AT_LOGIN";

std::filesystem::path entry(const std::filesystem::path& configHome, Which which = Which::app);
// Our entry exists and the user hasn't hidden it (Hidden=true, which is how
// desktops' session settings switch an entry off).
bool isEnabled(const std::filesystem::path& configHome, Which which = Which::app);
// Writes the entry, starting `program` (tarvoctl, for the agent's), or
// removes it.
Result<void> setEnabled(const std::filesystem::path& configHome, bool on,
                        const std::filesystem::path& program, Which which = Which::app);
// This process was started by the application's entry.
bool startedAtLogin();

} // namespace tarvo::platform::LoginItem
