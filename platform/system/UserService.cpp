#include "platform/system/UserService.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace tarvo::platform::UserService {
namespace {

struct Ran {
    int status = -1;
    std::string out; // standard output and error together
};

Ran systemctl(std::vector<std::string> args) {
    args.insert(args.begin(), {"systemctl", "--user"});
    int pipeFds[2];
    Ran ran;
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return ran;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    int spawned = ::posix_spawnp(&pid, "systemctl", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0) ran.out.append(buffer, size_t(n));
    ::close(pipeFds[0]);
    if (spawned != 0) {
        ran.out = std::string("systemctl: ") + std::strerror(spawned);
        return ran;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    while (!ran.out.empty() && (ran.out.back() == '\n' || ran.out.back() == ' '))
        ran.out.pop_back();
    return ran;
}

Result<void> succeeded(const Ran& ran) {
    if (ran.status == 0) return {};
    return fail(ran.out.empty() ? "systemctl --user failed" : ran.out);
}

} // namespace

bool managerRuns() {
    struct stat st {};
    std::string socket = "/run/user/" + std::to_string(::geteuid()) + "/systemd/private";
    return ::stat(socket.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

bool isEnabled() {
    return systemctl({"is-enabled", "--quiet", unit}).status == 0;
}

bool isActive() {
    return systemctl({"is-active", "--quiet", unit}).status == 0;
}

Result<void> enable(const std::optional<std::filesystem::path>& unitFile) {
    if (unitFile)
        if (auto linked = succeeded(systemctl({"link", unitFile->string()})); !linked)
            return linked;
    return succeeded(systemctl({"enable", "--now", unit}));
}

Result<void> disable() {
    return succeeded(systemctl({"disable", "--now", unit}));
}

} // namespace tarvo::platform::UserService
