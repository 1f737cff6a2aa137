// tarvo-helper: the root-only part of installing and removing face unlock.
//   tarvo-helper install --user NAME
//   tarvo-helper uninstall --user NAME
//   tarvo-helper purge --user NAME --app PATH
// It edits only the lock screen's PAM stack: anywhere else (login, sudo,
// su, polkit, common-auth) a process of the user standing in for the agent
// could grant more than an unlock. TARVO_HELPER_ROOT (tests) names a tree
// to work in instead of "/"; sudo and pkexec clear it.
#include "core/LockScreen.h"
#include "core/UniqueFd.h"
#include "helper/StackEdit.h"
#include "platform/LockScreenStack.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <optional>
#include <pwd.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace tarvo;

namespace {

struct Failure {
    std::string text;
};

[[noreturn]] void fail(const std::string& text) {
    throw Failure{text};
}

fs::path systemRoot() {
    const char* root = std::getenv("TARVO_HELPER_ROOT");
    return root ? root : "/";
}

void requireUser(const std::string& name) {
    if (name.empty() || !getpwnam(name.c_str())) fail("no such user: " + name);
}

// The stack file, checked: a lock screen's, a regular file, root's, and
// writable by nobody else.
fs::path lockScreenStack(struct stat& st) {
    fs::path stack = platform::lockScreenStack(systemRoot());
    if (::lstat(stack.c_str(), &st) != 0)
        fail(stack.string() + ": " + std::strerror(errno) + " (no lock screen PAM stack found)");
    if (S_ISLNK(st.st_mode)) fail(stack.string() + " is a symlink; refusing to edit it");
    if (!S_ISREG(st.st_mode)) fail(stack.string() + " is not a regular file");
    if (st.st_mode & 0022) fail(stack.string() + " is writable by group or others; refusing");
    return stack;
}

std::string readAll(const fs::path& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd) fail(path.string() + ": " + std::strerror(errno));
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd.get(), buffer, sizeof buffer)) > 0)
        text.append(buffer, size_t(n));
    if (n < 0) fail(path.string() + ": " + std::strerror(errno));
    return text;
}

// Replaces the stack whole: a temporary file beside it with the same owner
// and mode, then a rename. On any error the old file stays.
void replace(const fs::path& stack, const struct stat& st, const std::string& text) {
    std::string temp = stack.string() + ".tarvo-XXXXXX";
    UniqueFd fd(mkostemp(temp.data(), O_CLOEXEC));
    if (!fd) fail(stack.parent_path().string() + ": " + std::strerror(errno));
    bool ok =
        fchown(fd.get(), st.st_uid, st.st_gid) == 0 && fchmod(fd.get(), st.st_mode & 07777) == 0 &&
        ::write(fd.get(), text.data(), text.size()) == ssize_t(text.size()) && fsync(fd.get()) == 0;
    int error = errno;
    fd.reset();
    if (!ok || ::rename(temp.c_str(), stack.c_str()) != 0) {
        if (ok) error = errno;
        ::unlink(temp.c_str());
        fail(stack.string() + ": " + std::strerror(error));
    }
}

// Lets the user's agent reach the TPM where the system has a group for it.
void joinTpmGroup(const std::string& user) {
    if (systemRoot() != "/" || !getgrnam("tss")) return;
    pid_t pid = fork();
    if (pid == 0) {
        execlp("gpasswd", "gpasswd", "-a", user.c_str(), "tss", static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        std::fprintf(stderr, "tarvo-helper: could not add %s to the tss group\n", user.c_str());
}

void install(const std::string& user) {
    requireUser(user);
    struct stat st {};
    fs::path stack = lockScreenStack(st);
    std::string before = readAll(stack);
    std::string after = StackEdit::wire(before, StackEdit::moduleLine(LockScreen::module));
    if (after != before) replace(stack, st, after);
    joinTpmGroup(user);
}

void uninstall(const std::string& user) {
    requireUser(user);
    struct stat st {};
    fs::path stack = lockScreenStack(st);
    std::string before = readAll(stack);
    std::string after = StackEdit::unwire(before);
    if (after != before) replace(stack, st, after);
}

// Removes the application, but only the installation this helper belongs
// to: a mistaken or hostile --app can't point it at anything else.
void purge(const std::string& user, const fs::path& app) {
    uninstall(user);
    std::error_code ec;
    fs::path self = fs::canonical("/proc/self/exe", ec);
    fs::path target = fs::weakly_canonical(app, ec);
    // The bundle is the folder whose libexec holds this helper, and never a
    // prefix shared with other software.
    bool shared = false;
    for (const char* prefix : {"/", "/usr", "/usr/local", "/opt", "/home"})
        shared = shared || target == prefix;
    if (ec || shared || self != target / "libexec" / "tarvo-helper")
        fail(app.string() +
             " is not the installation this helper belongs to; refusing to remove it");
    fs::remove_all(target, ec);
    if (ec) fail(target.string() + ": " + ec.message());
}

int usage() {
    std::fprintf(stderr, "usage: tarvo-helper install --user NAME\n"
                         "       tarvo-helper uninstall --user NAME\n"
                         "       tarvo-helper purge --user NAME --app PATH\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (geteuid() != 0) {
        std::fprintf(stderr, "tarvo-helper: must run as root\n");
        return 1;
    }
    try {
        if (args.size() == 3 && args[1] == "--user" && args[0] == "install")
            install(args[2]);
        else if (args.size() == 3 && args[1] == "--user" && args[0] == "uninstall")
            uninstall(args[2]);
        else if (args.size() == 5 && args[0] == "purge" && args[1] == "--user" &&
                 args[3] == "--app")
            purge(args[2], args[4]);
        else
            return usage();
    } catch (const Failure& failure) {
        std::fprintf(stderr, "tarvo-helper: %s\n", failure.text.c_str());
        return 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tarvo-helper: %s\n", error.what());
        return 1;
    }
    return 0;
}
