#pragma once

#include "core/agent/SocketServer.h"

#include <optional>
#include <string>
#include <sys/types.h>

namespace tarvo::sandbox {

// The agent's socket server running in a child process as another user,
// answering every VERIFY with `match` (nothing: not seen). Its events go to
// that user's log as "socket: ..." lines and to nextEvent(). Stops, and
// removes the socket, when destroyed. With `atProcessLimit`, the child can
// start no thread once its server runs, as at the user's process limit.
class AgentProcess {
  public:
    AgentProcess(uid_t uid, std::string socketPath, std::optional<SocketServer::Match> match,
                 bool atProcessLimit = false);
    ~AgentProcess();
    AgentProcess(const AgentProcess&) = delete;
    AgentProcess& operator=(const AgentProcess&) = delete;

    // Waits for the child to stop; its exit status.
    int stop();
    // The next event the server reported; empty after 5 s without one.
    std::string nextEvent();

  private:
    pid_t pid_ = -1;
    int control_ = -1;
    int events_ = -1;
};

} // namespace tarvo::sandbox
