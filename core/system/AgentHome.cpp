#include "core/system/AgentHome.h"

#include "core/store/Paths.h"
#include "core/system/SystemInstaller.h"
#include "platform/system/LoginItem.h"
#include "platform/system/UserService.h"

#include <filesystem>
#include <optional>

namespace tarvo::AgentHome {
namespace {

using platform::LoginItem::Which;

// The bundle's own unit, where it was installed from source; the package's
// is where systemd finds it by name.
std::optional<std::filesystem::path> bundledUnit() {
    auto unit = SystemInstaller::bundle() / "share/tarvo/tarvo-agent.service";
    std::error_code ec;
    if (std::filesystem::exists(unit, ec)) return unit;
    return std::nullopt;
}

std::filesystem::path tarvoctl() {
    return SystemInstaller::bundle() / "bin" / "tarvoctl";
}

} // namespace

bool userService() {
    return platform::UserService::managerRuns();
}

bool enabled() {
    if (userService()) return platform::UserService::isEnabled();
    return platform::LoginItem::isEnabled(Paths::configHome(), Which::agent);
}

Outcome enable() {
    if (userService()) {
        if (auto enabled = platform::UserService::enable(bundledUnit()); !enabled)
            return {false,
                    "The agent's user service could not be started: " + enabled.error().text};
        return {true, where()};
    }
    if (auto written =
            platform::LoginItem::setEnabled(Paths::configHome(), true, tarvoctl(), Which::agent);
        !written)
        return {false, "The agent's autostart entry could not be written: " + written.error().text};
    return {true, where()};
}

std::string where() {
    if (userService())
        return enabled() ? "The agent runs as the user service tarvo-agent.service, from now on "
                           "at every login."
                         : "The agent's user service, tarvo-agent.service, is not enabled.";
    auto entry = platform::LoginItem::entry(Paths::configHome(), Which::agent).string();
    return enabled() ? "No systemd user manager runs here: the agent starts at login from " +
                           entry + " (start it now with tarvoctl agent, or log in again)."
                     : "No systemd user manager runs here, and the agent does not start at login.";
}

Outcome disable() {
    // Both, whatever runs now: a user may have moved between the two.
    std::string problems;
    if (userService())
        if (auto disabled = platform::UserService::disable(); !disabled)
            problems = disabled.error().text;
    if (auto removed =
            platform::LoginItem::setEnabled(Paths::configHome(), false, {}, Which::agent);
        !removed)
        problems += (problems.empty() ? "" : "; ") + removed.error().text;
    if (!problems.empty()) return {false, "The agent could not be turned off: " + problems};
    return {true, "The agent no longer starts at login."};
}

} // namespace tarvo::AgentHome
