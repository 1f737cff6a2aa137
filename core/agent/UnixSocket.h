#pragma once

#include "core/base/UniqueFd.h"

#include <optional>
#include <string>
#include <string_view>
#include <sys/un.h>

namespace tarvo::UnixSocket {

// The longest socket path in bytes both ends accept; a path the other
// deliverable could not reach is refused here too.
inline constexpr size_t maxPathBytes = 103;

// The address of a path, or nothing when the path is longer than maxPathBytes.
std::optional<sockaddr_un> address(std::string_view path);

// A new stream socket, close-on-exec.
UniqueFd create();

// Waits up to `timeoutMs` for input, then reads once, at most `limit`
// bytes. Nothing on timeout, error or end of stream.
std::optional<std::string> readOnce(int fd, size_t limit, int timeoutMs);

} // namespace tarvo::UnixSocket
