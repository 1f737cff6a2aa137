#pragma once

#include <cerrno>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace tarvo {

// Owns one file descriptor and closes it on every path out of a scope.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

// Writes all of `bytes`, through short writes and interruptions; false with
// errno set when the descriptor fails. A socket whose peer has gone fails
// with EPIPE rather than raising SIGPIPE.
inline bool writeAll(int fd, std::string_view bytes) {
    bool socket = true;
    while (!bytes.empty()) {
        ssize_t n = socket ? ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) : -1;
        if (n < 0 && socket && errno == ENOTSOCK) {
            socket = false;
            continue;
        }
        if (!socket) n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) errno = EIO;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

} // namespace tarvo
