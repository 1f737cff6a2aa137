#include "platform/LockScreenStack.h"

#include <array>
#include <cctype>
#include <cstdlib>
#include <string_view>

namespace tarvo::platform {
namespace {

struct Locker {
    std::string_view desktop; // as XDG_CURRENT_DESKTOP names it, lower case
    std::string_view service;
};

constexpr std::array<Locker, 10> lockers = {{{"gnome", "gdm-password"},
                                             {"kde", "kde"},
                                             {"x-cinnamon", "cinnamon-screensaver"},
                                             {"mate", "mate-screensaver"},
                                             {"xfce", "xfce4-screensaver"},
                                             {"", "lightdm"},
                                             {"", "xscreensaver"},
                                             {"sway", "swaylock"},
                                             {"i3", "i3lock"},
                                             {"hyprland", "hyprlock"}}};

// XDG_CURRENT_DESKTOP is a colon-separated list, e.g. "ubuntu:GNOME".
bool running(std::string_view desktop) {
    const char* value = std::getenv("XDG_CURRENT_DESKTOP");
    if (!value || desktop.empty()) return false;
    std::string current(value);
    for (char& c : current)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (size_t start = 0; start <= current.size();) {
        size_t end = current.find(':', start);
        if (end == std::string::npos) end = current.size();
        if (std::string_view(current).substr(start, end - start) == desktop) return true;
        start = end + 1;
    }
    return false;
}

} // namespace

std::filesystem::path lockScreenStack(const std::filesystem::path& root) {
    auto pamDir = root / "etc/pam.d";
    std::error_code ec;
    for (const auto& locker : lockers)
        if (running(locker.desktop) && std::filesystem::exists(pamDir / locker.service, ec))
            return pamDir / locker.service;
    for (const auto& locker : lockers)
        if (std::filesystem::exists(pamDir / locker.service, ec)) return pamDir / locker.service;
    return pamDir / lockers.front().service;
}

} // namespace tarvo::platform
