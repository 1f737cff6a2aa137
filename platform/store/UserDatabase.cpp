#include "platform/store/UserDatabase.h"

#include <cerrno>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace tarvo::platform {

namespace {

Result<std::string> lookUp(uid_t uid, char* passwd::*field) {
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(hint > 0 ? static_cast<size_t>(hint) : 4096);
    struct passwd entry {};
    struct passwd* found = nullptr;
    int error = 0;
    while ((error = getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found)) == ERANGE)
        buffer.resize(buffer.size() * 2);
    if (error != 0)
        return fail("the user database could not be read: " + std::string(std::strerror(error)));
    if (found == nullptr || found->*field == nullptr)
        return fail("user " + std::to_string(uid) + " is not in the user database");
    return {std::string(found->*field)};
}

} // namespace

Result<std::string> homeDirectory(uid_t uid) {
    return lookUp(uid, &passwd::pw_dir);
}

Result<std::string> userName(uid_t uid) {
    return lookUp(uid, &passwd::pw_name);
}

bool belongsTo(const std::string& user, const std::string& group) {
    const struct group* entry = getgrnam(group.c_str());
    if (!entry) return true;
    for (char** member = entry->gr_mem; member && *member; ++member)
        if (user == *member) return true;
    const struct passwd* account = getpwnam(user.c_str());
    return account && account->pw_gid == entry->gr_gid;
}

} // namespace tarvo::platform
