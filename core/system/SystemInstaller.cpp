#include "core/system/SystemInstaller.h"

#include "core/agent/StoredPassword.h"
#include "core/base/Secret.h"
#include "core/base/Text.h"
#include "core/base/UniqueFd.h"
#include "platform/store/UserDatabase.h"

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

// What sudo is told to prompt with, and what the shell it starts says once
// it runs as root: the two moments the password or the script may be sent.
constexpr std::string_view promptMarker = "[tarvo] sudo password:";
constexpr std::string_view readyMarker = "[tarvo] running as root";
// How long sudo may take to ask or to start the shell.
constexpr int sudoStartMs = 30000;

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

// sudo asks for the password on standard error; the script follows only
// once the shell announces itself as root, so neither a wrong password
// (sudo asks again: it gets no more input) nor a sudo that asks nothing
// (the script would be read as a password, or the password as a command)
// can mix the two up.
Outcome runWithSudo(const std::string& script, const std::string& password,
                    const std::string& sudo) {
    std::string error;
    auto child = spawn({sudo, "-S", "-k", "-p", std::string(promptMarker), "--", "/bin/sh", "-c",
                        "echo '" + std::string(readyMarker) + "' >&2; exec /bin/sh -s"},
                       error);
    if (!child) return Outcome::failed(error);
    std::string text;
    bool sentPassword = false, sentScript = false;
    while (child->errors.get() >= 0) {
        if (!readErrors(*child, text, sentScript ? -1 : sudoStartMs)) {
            ::kill(child->pid, SIGTERM);
            break;
        }
        if (sentScript) continue;
        if (text.find(readyMarker) != std::string::npos) {
            send(*child, script);
            endInput(*child);
            sentScript = true;
        } else if (occurrences(text, promptMarker) == 1 && !sentPassword) {
            std::string line = password + "\n";
            send(*child, line);
            wipe(line);
            sentPassword = true;
        } else if (occurrences(text, promptMarker) > 1) {
            endInput(*child);
        }
    }
    int status = finish(*child);
    eraseAll(text, readyMarker);
    eraseAll(text, promptMarker);
    return outcomeOf(status, text, false);
}

Outcome runWithPrompt(const std::string& script, const std::string& pkexec) {
    std::string error;
    auto child = spawn({pkexec, "/bin/sh", "-s"}, error);
    if (!child) return Outcome::failed(error);
    send(*child, script);
    endInput(*child);
    std::string text;
    while (child->errors.get() >= 0)
        readErrors(*child, text, -1);
    return outcomeOf(finish(*child), text, true);
}

std::string userName() {
    auto name = platform::userName(getuid());
    return name ? *name : std::to_string(getuid());
}

// The saved password first, so that no prompt shows; the prompt when it
// fails.
Outcome withPasswordRule(const std::string& script, const Runners& runners) {
    std::optional<std::string> password;
    try {
        password = StoredPassword::load();
    } catch (const StoredPassword::Problem&) {
        // Unopenable is as good as none here: the prompt asks instead.
    }
    if (!password) return runPrivileged(script, std::nullopt, runners);
    auto outcome = runPrivileged(script, password, runners);
    wipe(*password);
    if (outcome.kind != Outcome::Kind::failed) return outcome;
    return runPrivileged(script, std::nullopt, runners);
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

std::string shellQuoted(std::string_view value) {
    std::string quoted = "'";
    for (char c : value)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

Outcome outcomeOf(int status, std::string_view errorText, bool prompted) {
    if (status == 0) return Outcome::done();
    // pkexec exits 126 when the prompt was dismissed, 127 when it was
    // refused or could not be shown (its reason on standard error).
    if (prompted && status == 126) return Outcome::cancelled();
    std::string decoded = Text::decodeLossy(errorText);
    std::string text(Text::trim(decoded));
    if (text.empty() && prompted && status == 127)
        return Outcome::failed("Administrator rights were not granted.");
    if (text.empty()) return Outcome::failed("The installer exited with an error.");
    return Outcome::failed(text);
}

Outcome runPrivileged(const std::string& script, const std::optional<std::string>& password,
                      const Runners& runners) {
    return password ? runWithSudo(script, *password, runners.sudo)
                    : runWithPrompt(script, runners.pkexec);
}

Outcome install(const Runners& runners) {
    if (!isBundled())
        return Outcome::failed(
            "Run Tarvo from its installation in /opt/tarvo-app — the helper it installs is part "
            "of it.");
    std::string script = "set -e\n"
                         "install -d -o root -g root -m 755 /opt/tarvo /opt/tarvo/lib\n"
                         "install -o root -g root -m 644 " +
                         shellQuoted(bundledModule()) + " /opt/tarvo/lib/pam_tarvo.so\n" +
                         shellQuoted(helper().string()) + " install --user " +
                         shellQuoted(userName());
    return withPasswordRule(script, runners);
}

Outcome uninstall(const Runners& runners) {
    if (!isBundled())
        return Outcome::failed(
            "Run Tarvo from its installation in /opt/tarvo-app to turn face unlock off.");
    return withPasswordRule(
        shellQuoted(helper().string()) + " uninstall --user " + shellQuoted(userName()), runners);
}

Outcome purge(const Runners& runners) {
    if (!isBundled())
        return Outcome::failed(
            "Run Tarvo from its installation in /opt/tarvo-app to uninstall it.");
    return withPasswordRule(shellQuoted(helper().string()) + " purge --user " +
                                shellQuoted(userName()) + " --app " +
                                shellQuoted(bundle().string()),
                            runners);
}

} // namespace tarvo::SystemInstaller
