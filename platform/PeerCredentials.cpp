#include "platform/PeerCredentials.h"

#include <sys/socket.h>

namespace tarvo::platform {

std::optional<uid_t> peerUid(int socketFd) {
    struct ucred cred {};
    socklen_t len = sizeof cred;
    if (getsockopt(socketFd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred)
        return std::nullopt;
    return cred.uid;
}

} // namespace tarvo::platform
