#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tarvo::SocketClient {

// One request-reply exchange on the agent's socket: writes `line` and a line
// feed, reads one reply of at most 128 bytes and returns it trimmed. Nothing
// on any failure, including no reply within `timeoutSeconds`. Meant for
// STATUS, not for a VERIFY reply.
std::optional<std::string> request(std::string_view line, const std::string& path,
                                   double timeoutSeconds);

} // namespace tarvo::SocketClient
