#include "sandbox/AgentProcess.h"

#include "core/store/Log.h"
#include "sandbox/Sandbox.h"

#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/resource.h>
#include <unistd.h>

namespace tarvo::sandbox {
namespace {

// The child's part: serve until the parent closes `control`.
int serve(const std::string& path, const std::optional<SocketServer::Match>& match,
          bool atProcessLimit, int ready, int control, int events) {
    // Nobody may be reading the events; drop them rather than block the server.
    fcntl(events, F_SETFL, O_NONBLOCK);
    auto server = SocketServer::create(
        path, [match](SocketServer::Peer) { return match; }, [] { return false; },
        [events](const std::string& event) {
            Log::line("socket: " + event);
            std::string line = event + "\n";
            (void)!write(events, line.data(), line.size());
        });
    server->start();
    rlimit none{1, 1};
    if (atProcessLimit && setrlimit(RLIMIT_NPROC, &none) != 0) return 1;
    Log::line("agent started");
    (void)!write(ready, "r", 1);
    char byte;
    while (read(control, &byte, 1) > 0) {
    }
    server->stop();
    Log::line("agent stopped");
    return 0;
}

} // namespace

AgentProcess::AgentProcess(uid_t uid, std::string path, std::optional<SocketServer::Match> match,
                           bool atProcessLimit) {
    int ready[2], control[2], events[2];
    if (pipe2(ready, O_CLOEXEC) != 0 || pipe2(control, O_CLOEXEC) != 0 ||
        pipe2(events, O_CLOEXEC) != 0)
        throw std::runtime_error("sandbox: pipe failed");
    pid_ = spawnAs(uid, [&] {
        close(control[1]);
        close(events[0]);
        return serve(path, match, atProcessLimit, ready[1], control[0], events[1]);
    });
    close(ready[1]);
    close(control[0]);
    close(events[1]);
    control_ = control[1];
    events_ = events[0];
    char byte;
    bool started = read(ready[0], &byte, 1) == 1;
    close(ready[0]);
    if (!started) {
        stop();
        throw std::runtime_error("sandbox: the agent did not start");
    }
}

AgentProcess::~AgentProcess() {
    stop();
    if (events_ >= 0) close(events_);
}

int AgentProcess::stop() {
    if (pid_ < 0) return 0;
    close(control_);
    int status = waitFor(pid_);
    pid_ = -1;
    return status;
}

std::string AgentProcess::nextEvent() {
    std::string event;
    char c;
    pollfd waiter{events_, POLLIN, 0};
    while (poll(&waiter, 1, 5000) == 1 && read(events_, &c, 1) == 1 && c != '\n')
        event += c;
    return event;
}

} // namespace tarvo::sandbox
