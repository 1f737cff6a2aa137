#pragma once

#include <optional>
#include <string>
#include <sys/types.h>

namespace tarvo::platform {

// The home directory the user database records for a user; nothing when the
// user has no entry. $HOME is deliberately not consulted.
std::optional<std::string> homeDirectory(uid_t uid);

// The login name of a user; nothing when the user has no entry.
std::optional<std::string> userName(uid_t uid);

} // namespace tarvo::platform
