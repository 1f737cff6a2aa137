#include "platform/UserDatabase.h"

#include <cerrno>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace tarvo::platform {

namespace {

// One field of a user's entry, or nothing.
std::optional<std::string> lookUp(uid_t uid, char* passwd::*field) {
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(hint > 0 ? static_cast<size_t>(hint) : 4096);
    struct passwd entry {};
    struct passwd* found = nullptr;
    while (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == ERANGE)
        buffer.resize(buffer.size() * 2);
    if (found == nullptr || found->*field == nullptr) return std::nullopt;
    return std::string(found->*field);
}

} // namespace

std::optional<std::string> homeDirectory(uid_t uid) {
    return lookUp(uid, &passwd::pw_dir);
}

std::optional<std::string> userName(uid_t uid) {
    return lookUp(uid, &passwd::pw_name);
}

} // namespace tarvo::platform
