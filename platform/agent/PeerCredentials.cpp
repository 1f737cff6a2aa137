#include "platform/agent/PeerCredentials.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>

namespace tarvo::platform {

Result<uid_t> peerUid(int socketFd) {
    struct ucred cred {};
    socklen_t len = sizeof cred;
    if (getsockopt(socketFd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0)
        return fail(std::string("peer credentials: ") + std::strerror(errno));
    if (len != sizeof cred) return fail("peer credentials: a short answer");
    return {cred.uid};
}

} // namespace tarvo::platform
