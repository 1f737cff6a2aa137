#include "core/Paths.h"

#include "platform/UserDatabase.h"

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace tarvo::Paths {
namespace {

std::filesystem::path homeDirectory() {
    if (auto home = platform::homeDirectory(geteuid())) return *home;
    // Without an entry in the user database the environment is all we have.
    const char* env = std::getenv("HOME");
    return env ? env : "/";
}

std::filesystem::path createFolder() {
    std::filesystem::path folder = homeDirectory() / relativeDir;
    std::error_code ignored;
    std::filesystem::create_directories(folder.parent_path(), ignored);
    (void)::mkdir(folder.c_str(), 0700);
    // The PAM module refuses a folder that others may write to; narrow one
    // that an older release or the user created more widely.
    (void)::chmod(folder.c_str(), 0700);
    return folder;
}

} // namespace

const std::filesystem::path& dir() {
    static const std::filesystem::path folder = createFolder();
    return folder;
}

std::filesystem::path config() {
    return dir() / "config.json";
}
std::filesystem::path enrolled() {
    return dir() / "enrolled.json";
}
std::filesystem::path legacyEnrolled() {
    return dir() / "enrolled.archive";
}
std::filesystem::path log() {
    return dir() / "tarvo.log";
}
std::filesystem::path socket() {
    return dir() / "agent.sock";
}

} // namespace tarvo::Paths
