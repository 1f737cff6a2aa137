#pragma once

#include <filesystem>
#include <vector>

namespace tarvo::platform {

// The PAM services of the lock screens this machine has, in /etc/pam.d:
// gdm-password (GNOME), kde (Plasma), cinnamon-screensaver,
// mate-screensaver, xfce4-screensaver, xscreensaver, i3lock, swaylock,
// hyprlock, and lightdm where light-locker is installed (without it,
// lightdm's service only logs people in, which a face must not do).
// Never login, sudo, su, polkit or common-*: there a process of the user
// standing in for the agent could grant more than an unlock.
std::vector<std::filesystem::path> lockScreenStacks();

// Every service we may ever have wired, present or not, lightdm included:
// what removal looks through, whatever is installed now.
std::vector<std::filesystem::path> everyLockScreenStack();

} // namespace tarvo::platform
