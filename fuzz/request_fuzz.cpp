// The agent's side of the trust boundary: any bytes a permitted peer sends
// as its request, and the settings file a reader decodes.
#include "core/agent/SocketServer.h"

#include <cstdint>
#include <string_view>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static auto server = tarvo::SocketServer::create(
        "/nonexistent/agent.sock",
        [](tarvo::SocketServer::Peer) {
            return std::optional(tarvo::SocketServer::Match{0.3f, "p\xC3\xA4ss\n\0w"});
        },
        [] { return true; }, [](const std::string&) {});
    if (size == 0) return 0;
    // The first byte picks the peer: root, or the agent's own user.
    uid_t peer = data[0] & 1 ? 0 : geteuid() + 1;
    std::string reply =
        server->answer(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1), peer);
    if (reply.empty() || reply.back() != '\n') __builtin_trap();
    // Only root is ever handed the password.
    if (peer != 0 && reply.rfind("OK ", 0) == 0) __builtin_trap();
    return 0;
}
