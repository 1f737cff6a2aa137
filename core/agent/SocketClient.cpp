#include "core/agent/SocketClient.h"

#include "core/agent/UnixSocket.h"
#include "core/base/Text.h"
#include "core/store/Paths.h"

#include <cmath>
#include <sys/socket.h>
#include <sys/time.h>

namespace tarvo::SocketClient {

std::optional<std::string> request(std::string_view line, const std::string& path,
                                   double timeoutSeconds) {
    auto addr = UnixSocket::address(path);
    if (!addr) return std::nullopt;
    UniqueFd fd = UnixSocket::create();
    if (!fd) return std::nullopt;
    int timeoutMs = timeoutSeconds > 0 ? static_cast<int>(std::ceil(timeoutSeconds * 1000)) : -1;
    // A busy agent's listen queue can be full; connect then waits, and that
    // wait must end with the same limit as the reply's.
    if (timeoutMs > 0) {
        timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    }
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&*addr), sizeof *addr) != 0)
        return std::nullopt;
    std::string message(line);
    message += '\n';
    if (!writeAll(fd.get(), message)) return std::nullopt;
    auto reply = UnixSocket::readOnce(fd.get(), 128, timeoutMs);
    if (!reply) return std::nullopt;
    return std::string(Text::trim(Text::decodeLossy(*reply)));
}

} // namespace tarvo::SocketClient
