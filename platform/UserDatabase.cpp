#include "platform/UserDatabase.h"

#include <cerrno>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace tarvo::platform {

std::optional<std::string> homeDirectory(uid_t uid) {
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(hint > 0 ? static_cast<size_t>(hint) : 4096);
    struct passwd entry {};
    struct passwd* found = nullptr;
    while (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == ERANGE)
        buffer.resize(buffer.size() * 2);
    if (found == nullptr || found->pw_dir == nullptr) return std::nullopt;
    return std::string(found->pw_dir);
}

} // namespace tarvo::platform
