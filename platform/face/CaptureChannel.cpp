#include "platform/face/CaptureChannel.h"

#include <cerrno>
#include <chrono>
#include <poll.h>
#include <sys/socket.h>

namespace tarvo::platform::capture {

bool plausible(const Header& header) {
    switch (Message(header.message)) {
    case Message::opened:
        return header.bytes == 0;
    case Message::failed:
        return header.bytes <= longestText;
    case Message::frame:
        return header.rows > 0 && header.cols > 0 && header.rows <= largestSide &&
               header.cols <= largestSide && header.bytes == header.rows * header.cols * 3;
    }
    return false;
}

bool sendAll(int fd, const void* data, std::size_t size) {
    auto* at = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::send(fd, at, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        at += n;
        size -= std::size_t(n);
    }
    return true;
}

bool receiveAll(int fd, void* data, std::size_t size, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    auto* at = static_cast<char*>(data);
    while (size > 0) {
        int wait = -1;
        if (timeoutMs >= 0) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return false;
            wait = int(left.count());
        }
        pollfd ready{fd, POLLIN, 0};
        int polled = ::poll(&ready, 1, wait);
        if (polled < 0 && errno == EINTR) continue;
        if (polled <= 0) return false;
        ssize_t n = ::recv(fd, at, size, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return false;
        at += n;
        size -= std::size_t(n);
    }
    return true;
}

bool receiveMessage(int fd, Header& header, const std::function<void*(const Header&)>& into,
                    int timeoutMs) {
    if (!receiveAll(fd, &header, sizeof header, timeoutMs) || !plausible(header)) return false;
    if (header.bytes == 0) return true;
    void* buffer = into(header);
    return buffer && receiveAll(fd, buffer, header.bytes, timeoutMs);
}

} // namespace tarvo::platform::capture
