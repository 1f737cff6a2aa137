#include "platform/system/LockScreenStack.h"

#include <array>
#include <string_view>

namespace tarvo::platform {
namespace {

constexpr std::string_view pamDir = "/etc/pam.d/";
constexpr std::string_view vendorPamDir = "/usr/lib/pam.d/";
constexpr std::array<std::string_view, 9> lockers = {"gdm-password",
                                                     "kde",
                                                     "cinnamon-screensaver",
                                                     "mate-screensaver",
                                                     "xfce4-screensaver",
                                                     "xscreensaver",
                                                     "i3lock",
                                                     "swaylock",
                                                     "hyprlock"};

bool present(const std::filesystem::path& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

bool lightLockerInstalled() {
    return present("/usr/bin/light-locker") || present("/usr/sbin/light-locker");
}

} // namespace

std::vector<std::filesystem::path> lockScreenStacks() {
    std::vector<std::filesystem::path> found;
    for (auto& stack : everyLockScreenStack())
        if ((present(stack) || present(vendorStack(stack))) &&
            (stack.filename() != "lightdm" || lightLockerInstalled()))
            found.push_back(stack);
    return found;
}

std::filesystem::path vendorStack(const std::filesystem::path& stack) {
    return std::string(vendorPamDir) + stack.filename().string();
}

std::vector<std::filesystem::path> everyLockScreenStack() {
    std::vector<std::filesystem::path> all;
    for (auto service : lockers)
        all.push_back(std::string(pamDir) + std::string(service));
    all.push_back(std::string(pamDir) + "lightdm");
    return all;
}

} // namespace tarvo::platform
