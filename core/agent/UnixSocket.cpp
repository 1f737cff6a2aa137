#include "core/agent/UnixSocket.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>

namespace tarvo::UnixSocket {

std::optional<sockaddr_un> address(std::string_view path) {
    if (path.size() > maxPathBytes) return std::nullopt;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.data(), path.size());
    return addr;
}

UniqueFd create() {
    return UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
}

std::optional<std::string> readOnce(int fd, size_t limit, int timeoutMs) {
    pollfd waiter{fd, POLLIN, 0};
    int ready;
    do
        ready = ::poll(&waiter, 1, timeoutMs);
    while (ready < 0 && errno == EINTR);
    if (ready <= 0) return std::nullopt;
    std::string bytes(limit, '\0');
    ssize_t n;
    do
        n = ::recv(fd, bytes.data(), limit, 0);
    while (n < 0 && errno == EINTR);
    if (n <= 0) return std::nullopt;
    bytes.resize(static_cast<size_t>(n));
    return bytes;
}

} // namespace tarvo::UnixSocket
