#pragma once

#include "platform/Result.h"

#include <optional>
#include <sys/types.h>

namespace tarvo::platform {

// The effective user id of the process at the other end of a connected
// Unix-domain socket, as the kernel recorded it.
Result<uid_t> peerUid(int socketFd);

} // namespace tarvo::platform
