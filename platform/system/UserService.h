#pragma once

#include "platform/Result.h"

#include <filesystem>
#include <optional>

// The agent's systemd user unit, through `systemctl --user`.
namespace tarvo::platform::UserService {

inline constexpr const char* unit = "tarvo-agent.service";

// Whether a systemd user manager runs for this user (its private socket is
// in the user's runtime directory): where one runs, it hosts the agent.
bool managerRuns();
bool isEnabled();
// Whether the unit's agent runs now.
bool isActive();
// Enables and starts the unit: `unitFile` when given (a bundle installed
// from source keeps its own, which enabling links in), else the one
// systemd finds by name. Fails with systemctl's words.
Result<void> enable(const std::optional<std::filesystem::path>& unitFile);
// Stops and disables it.
Result<void> disable();

} // namespace tarvo::platform::UserService
