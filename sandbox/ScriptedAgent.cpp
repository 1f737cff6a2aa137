#include "sandbox/ScriptedAgent.h"

#include "core/agent/UnixSocket.h"
#include "sandbox/Sandbox.h"

#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace tarvo::sandbox {

ScriptedAgent::ScriptedAgent(const std::filesystem::path& path, uid_t owner, Script script,
                             std::optional<uid_t> listener)
    : ScriptedAgent(path, owner, Answer([script](const std::string&) { return script; }),
                    listener) {}

ScriptedAgent::ScriptedAgent(const std::filesystem::path& path, uid_t owner, Answer answer,
                             std::optional<uid_t> listener) {
    listener_ = boundSocket(path, owner);
    // The kernel records who listens; the module asks it.
    bool listening = seteuid(listener.value_or(owner)) == 0 && listen(listener_.get(), 4) == 0;
    if (seteuid(0) != 0 || !listening) throw std::runtime_error("scripted agent cannot listen");
    thread_ = std::thread([this, answer = std::move(answer)] { serve(answer); });
}

ScriptedAgent::~ScriptedAgent() {
    finish();
}

std::string ScriptedAgent::request() {
    finish();
    return requests_.empty() ? "" : requests_[0];
}

std::vector<std::string> ScriptedAgent::requests() {
    finish();
    return requests_;
}

void ScriptedAgent::finish() {
    if (!thread_.joinable()) return;
    shutdown(listener_.get(), SHUT_RDWR); // wakes the accept if no one came
    thread_.join();
}

void ScriptedAgent::serve(const Answer& answer) {
    for (;;) {
        UniqueFd connection(accept(listener_.get(), nullptr, nullptr));
        if (!connection) return;
        auto request = UnixSocket::readOnce(connection.get(), 256, 2000).value_or("");
        requests_.push_back(request);
        auto script = answer(request);
        if (script.reply) writeAll(connection.get(), *script.reply);
        pollfd hangup{connection.get(), POLLIN, 0};
        poll(&hangup, 1, static_cast<int>(script.hold.count()));
    }
}

} // namespace tarvo::sandbox
