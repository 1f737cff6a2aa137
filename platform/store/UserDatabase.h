#pragma once

#include "platform/Result.h"

#include <string>
#include <sys/types.h>

namespace tarvo::platform {

// The home directory the user database records for a user. $HOME is
// deliberately not consulted.
Result<std::string> homeDirectory(uid_t uid);

// The login name of a user.
Result<std::string> userName(uid_t uid);

} // namespace tarvo::platform
