// The agent's side of the camera's channel: whatever bytes its program
// sends, read message after message as the agent reads them.
#include "platform/face/CaptureChannel.h"

#include <cstdint>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using namespace tarvo::platform::capture;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return 0;
    // All of it waits in the socket before the reader starts: a socket
    // buffer holds far more than libFuzzer's inputs.
    (void)!::send(ends[1], data, size, MSG_NOSIGNAL);
    ::close(ends[1]);
    Header header;
    std::vector<char> buffer;
    auto into = [&](const Header& given) -> void* {
        if (!plausible(given)) __builtin_trap();
        buffer.resize(given.bytes);
        return buffer.data();
    };
    while (receiveMessage(ends[0], header, into, 1000)) {
    }
    ::close(ends[0]);
    return 0;
}
