#pragma once

#include <filesystem>
#include <vector>

namespace tarvo::platform {

// The PAM services of the lock screens this machine has, as their files in
// /etc/pam.d, where wiring puts them (libpam reads a service there before
// the package's own in /usr/lib/pam.d, as Plasma 6 ships kde):
// gdm-password (GNOME), kde (Plasma), cinnamon-screensaver,
// mate-screensaver, xfce4-screensaver, xscreensaver, i3lock, swaylock,
// hyprlock, and lightdm where light-locker is installed (without it,
// lightdm's service only logs people in, which a face must not do).
// Never login, sudo, su, polkit or common-*: there a process of the user
// standing in for the agent could grant more than an unlock.
std::vector<std::filesystem::path> lockScreenStacks();

// The package's own file of a stack (/usr/lib/pam.d), which libpam reads
// when /etc/pam.d has none of that name.
std::filesystem::path vendorStack(const std::filesystem::path& stack);

// Every service we may ever have wired, present or not, lightdm included:
// what removal looks through, whatever is installed now.
std::vector<std::filesystem::path> everyLockScreenStack();

} // namespace tarvo::platform
