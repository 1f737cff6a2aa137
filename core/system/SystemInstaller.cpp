#include "core/system/SystemInstaller.h"

#include "core/agent/StoredPassword.h"
#include "core/base/Secret.h"
#include "core/base/Text.h"
#include "core/base/UniqueFd.h"
#include "core/system/LockScreen.h"
#include "platform/store/UserDatabase.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tarvo::SystemInstaller {

namespace {

// What sudo is told to prompt with: the one moment the password is sent.
constexpr std::string_view promptMarker = "[tarvo] sudo password:";
// How long sudo may take to ask or to start the helper.
constexpr int sudoStartMs = 30000;
// How the helper's own complaints begin; anything else on standard error
// is the runner's.
constexpr std::string_view helperMarker = "tarvo-helper: ";

struct Child {
    pid_t pid = -1;
    UniqueFd input; // a socket, so writing to a child that has gone can't raise SIGPIPE
    UniqueFd errors;
};

std::optional<Child> spawn(const std::vector<std::string>& args, std::string& error) {
    int in[2], err[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) != 0) {
        error = std::strerror(errno);
        return std::nullopt;
    }
    if (::pipe2(err, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        ::close(in[0]), ::close(in[1]);
        return std::nullopt;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[1], 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<char*> argv;
    for (const auto& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    Child child;
    int rc = ::posix_spawnp(&child.pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[1]), ::close(err[1]);
    child.input = UniqueFd(in[0]);
    child.errors = UniqueFd(err[0]);
    if (rc != 0) {
        error = std::strerror(rc);
        return std::nullopt;
    }
    return child;
}

void send(Child& child, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::send(child.input.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
}

void endInput(Child& child) {
    if (child.input.get() >= 0) ::shutdown(child.input.get(), SHUT_WR);
    child.input = UniqueFd();
}

// Reads standard error into `text` until it ends or `timeoutMs` passes
// without output (-1: no limit); false on the timeout.
bool readErrors(Child& child, std::string& text, int timeoutMs) {
    char buffer[4096];
    pollfd fd{child.errors.get(), POLLIN, 0};
    int ready = ::poll(&fd, 1, timeoutMs);
    if (ready < 0 && errno == EINTR) return true;
    if (ready == 0) return false;
    ssize_t n = ::read(child.errors.get(), buffer, sizeof buffer);
    if (n > 0) {
        text.append(buffer, static_cast<size_t>(n));
        return true;
    }
    if (n < 0 && errno == EINTR) return true;
    child.errors = UniqueFd();
    return true;
}

int finish(Child& child) {
    endInput(child);
    int status = 0;
    while (::waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

size_t occurrences(std::string_view text, std::string_view word) {
    size_t count = 0;
    for (auto at = text.find(word); at != std::string_view::npos; at = text.find(word, at + 1))
        ++count;
    return count;
}

void eraseAll(std::string& text, std::string_view word) {
    for (auto at = text.find(word); at != std::string::npos; at = text.find(word))
        text.erase(at, word.size());
}

// Whether `name` (a path, or a program to look for in PATH) can be run.
bool runnable(const std::string& name) {
    if (name.find('/') != std::string::npos) return ::access(name.c_str(), X_OK) == 0;
    const char* path = std::getenv("PATH");
    std::string folders = path ? path : "/usr/bin:/bin";
    for (size_t start = 0; start <= folders.size();) {
        size_t end = folders.find(':', start);
        if (end == std::string::npos) end = folders.size();
        auto folder = folders.substr(start, end - start);
        if (!folder.empty() && ::access((folder + "/" + name).c_str(), X_OK) == 0) return true;
        start = end + 1;
    }
    return false;
}

std::vector<std::string> helperCommand(const std::vector<std::string>& arguments) {
    std::vector<std::string> command{helper().string()};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
}

// Runs `command`, sends nothing, and collects what it says on standard error.
Outcome runAndWait(const std::vector<std::string>& command, bool prompted) {
    std::string error;
    auto child = spawn(command, error);
    if (!child) return Outcome::failed(command[0] + ": " + error);
    endInput(*child);
    std::string text;
    while (child->errors.get() >= 0)
        readErrors(*child, text, -1);
    return outcomeOf(finish(*child), text, prompted);
}

// sudo asks for the password on standard error, and gets it then and only
// then: a sudo that asks nothing, or asks again after a wrong password,
// gets nothing more. Nothing when sudo itself refused (a wrong password,
// a user who may not use it): the prompt is the way left.
std::optional<Outcome> runWithSudo(const std::vector<std::string>& arguments,
                                   const std::string& password, const std::string& sudo) {
    std::vector<std::string> command{sudo, "-S", "-k", "-p", std::string(promptMarker), "--"};
    auto run = helperCommand(arguments);
    command.insert(command.end(), run.begin(), run.end());
    std::string error;
    auto child = spawn(command, error);
    if (!child) return std::nullopt;
    std::string text;
    bool sentPassword = false;
    while (child->errors.get() >= 0) {
        if (!readErrors(*child, text, sentPassword ? -1 : sudoStartMs)) {
            ::kill(child->pid, SIGTERM);
            break;
        }
        if (occurrences(text, promptMarker) == 1 && !sentPassword) {
            std::string line = password + "\n";
            send(*child, line);
            wipe(line);
            sentPassword = true;
        } else if (occurrences(text, promptMarker) > 1) {
            endInput(*child);
        }
    }
    int status = finish(*child);
    eraseAll(text, promptMarker);
    if (status != 0 && text.find(helperMarker) == std::string::npos) return std::nullopt;
    return outcomeOf(status, text, false);
}

std::string userName() {
    auto name = platform::userName(getuid());
    return name ? *name : std::to_string(getuid());
}

// The saved password first, so that no prompt shows; the prompt when it
// fails.
Outcome withPasswordRule(const std::vector<std::string>& arguments, const std::string& command,
                         const Runners& runners) {
    std::optional<std::string> password;
    if (!runners.asRoot) {
        try {
            password = StoredPassword::load();
        } catch (const StoredPassword::Problem&) {
            // Unopenable is as good as none here: the prompt asks instead.
        }
    }
    auto outcome = runHelper(arguments, password, command, runners);
    if (password) wipe(*password);
    return outcome;
}

} // namespace

std::filesystem::path bundle() {
    if (const char* path = std::getenv("TARVO_BUNDLE")) return path;
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : exe.parent_path().parent_path();
}

std::filesystem::path helper() {
    return bundle() / "libexec" / "tarvo-helper";
}

std::string bundledModule() {
    return (bundle() / "libexec" / "pam_tarvo.so").string();
}

bool isSharedPrefix(const std::filesystem::path& path) {
    for (const char* shared : {"/", "/usr", "/usr/local", "/opt", "/home"})
        if (path == shared) return true;
    return false;
}

bool isBundled() {
    std::error_code ec;
    auto home = std::filesystem::weakly_canonical(bundle(), ec);
    if (ec || home.empty() || isSharedPrefix(home)) return false;
    return std::filesystem::is_regular_file(helper(), ec) && ::access(helper().c_str(), X_OK) == 0;
}

Outcome outcomeOf(int status, std::string_view errorText, bool prompted) {
    if (status == 0) return Outcome::done();
    // pkexec exits 126 when the prompt was dismissed, 127 when it was
    // refused or could not be shown (its reason on standard error).
    if (prompted && status == 126) return Outcome::cancelled();
    std::string decoded = Text::decodeLossy(errorText);
    std::string text(Text::trim(decoded));
    if (prompted && status == 127) return Outcome::ofPkexecRefusal(text);
    if (text.empty()) return Outcome::failed("The installer exited with an error.");
    return Outcome::failed(text);
}

Outcome Outcome::ofPkexecRefusal(std::string_view said) {
    auto says = [&](std::string_view words) { return said.find(words) != said.npos; };
    if (says("Error getting authority"))
        return notGranted("polkit isn't running, so no administrator can be asked (apt install "
                          "polkitd).");
    if (says("No authentication agent"))
        return notGranted("No polkit authentication agent is running to ask for an "
                          "administrator's password.");
    if (says("Not authorized")) return refused();
    return said.empty() ? notGranted() : notGranted(std::string(said));
}

Outcome runHelper(const std::vector<std::string>& arguments,
                  const std::optional<std::string>& password, const std::string& command,
                  const Runners& runners) {
    if (runners.asRoot) return runAndWait(helperCommand(arguments), false);
    if (password && runnable(runners.sudo))
        if (auto outcome = runWithSudo(arguments, *password, runners.sudo)) return *outcome;
    if (!runnable(runners.pkexec))
        return Outcome::failed("Install pkexec (apt install pkexec), or ask an administrator to "
                               "run: sudo " +
                               command);
    std::vector<std::string> prompt{runners.pkexec};
    auto run = helperCommand(arguments);
    prompt.insert(prompt.end(), run.begin(), run.end());
    return runAndWait(prompt, true);
}

// Every lock screen loads this installation's module from its place, and
// the user is in the groups the agent needs: an administrator turned face
// unlock on for this user already (sudo tarvoctl on --user NAME).
bool alreadyOnFor(const std::string& user) {
    auto stacks = LockScreen::stacks();
    bool wired = !stacks.empty() && std::all_of(stacks.begin(), stacks.end(), [](auto& stack) {
        return LockScreen::wiredModulePath(stack) == LockScreen::module;
    });
    return wired && !LockScreen::rootOnlyChainProblem(LockScreen::module) &&
           !LockScreen::moduleIsOutdated(bundledModule()) && platform::belongsTo(user, "tss") &&
           platform::belongsTo(user, "video");
}

Outcome install(const Runners& runners, const std::string& user) {
    if (!isBundled())
        return Outcome::failed(
            "Run Tarvo from its installation in /opt/tarvo-app — the helper it installs is part "
            "of it.");
    auto name = user.empty() ? userName() : user;
    // What is left is the user's own part: no administrator to ask.
    if (!runners.asRoot && alreadyOnFor(name)) return Outcome::done();
    return withPasswordRule({"install", "--user", name}, "tarvoctl on --user " + name, runners);
}

Outcome uninstall(const Runners& runners, const std::string& user) {
    if (!isBundled())
        return Outcome::failed(
            "Run Tarvo from its installation in /opt/tarvo-app to turn face unlock off.");
    auto name = user.empty() ? userName() : user;
    return withPasswordRule({"uninstall", "--user", name}, "tarvoctl off --user " + name, runners);
}

Outcome updateModule(const Runners& runners) {
    if (!isBundled()) return Outcome::failed("Run Tarvo from its installation in /opt/tarvo-app.");
    return withPasswordRule({"update-module"}, "tarvoctl update-module", runners);
}

Outcome purge(const Runners& runners, const std::string& user) {
    if (!isBundled())
        return Outcome::failed(
            "Run Tarvo from its installation in /opt/tarvo-app to uninstall it.");
    auto name = user.empty() ? userName() : user;
    return withPasswordRule({"purge", "--user", name, "--app", bundle().string()},
                            "tarvoctl uninstall --user " + name, runners);
}

} // namespace tarvo::SystemInstaller
