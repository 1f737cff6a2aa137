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

// Whether `user` belongs to `group` (as its primary group or a member);
// true where the system has no such group, as there is nothing to join.
bool belongsTo(const std::string& user, const std::string& group);

} // namespace tarvo::platform
