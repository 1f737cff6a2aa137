#pragma once

#include <filesystem>
#include <string>

namespace tarvo::platform {

// The PAM service file of this machine's lock screen. Every Linux desktop's
// locker authenticates through a service of its own; the running desktop's
// (XDG_CURRENT_DESKTOP) is preferred, then the first known one present:
// gdm-password (GNOME), kde (Plasma), cinnamon-screensaver,
// mate-screensaver, xfce4-screensaver, lightdm, xscreensaver, swaylock,
// i3lock, hyprlock. With none present, GNOME's is named.
// `root` lets tests use a temporary tree instead of "/".
std::filesystem::path lockScreenStack(const std::filesystem::path& root = "/");

} // namespace tarvo::platform
