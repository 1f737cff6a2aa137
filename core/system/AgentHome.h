#pragma once

#include <string>

// Where the agent lives, so that face unlock works whether or not the app
// runs: the systemd user service (tarvo-agent.service) wherever a user
// manager runs, which starts it at every login and restarts it; else an
// XDG autostart entry that runs `tarvoctl agent` at login. Turning face
// unlock on enables it, turning it off or uninstalling disables it.
namespace tarvo::AgentHome {

// Whether a systemd user manager runs here to host the agent.
bool userService();
// Whether the agent is set to run at login, where it lives.
bool enabled();

struct Outcome {
    bool done = false;
    std::string text; // what was done, or why it couldn't be, in a sentence
};
Outcome enable();
Outcome disable();
// Where the agent lives now, in a sentence.
std::string where();

} // namespace tarvo::AgentHome
