// tarvo-helper: the root-only part of turning face unlock on and off.
//   tarvo-helper install --user NAME    this installation's module copied to
//                                       /opt/tarvo/lib, every lock screen
//                                       wired, NAME in the tss and video groups
//   tarvo-helper uninstall --user NAME  every lock screen unwired
//   tarvo-helper update-module          the module copy, where there is one,
//                                       replaced by this installation's
//   tarvo-helper purge --user NAME --app PATH
//   tarvo-helper remove-module          (the package's removal) unwired, and
//                                       the module copy gone
// It edits only lock screens' PAM stacks: anywhere else (login, sudo, su,
// polkit, common-auth) a process of the user standing in for the agent
// could grant more than an unlock. It runs as root, reads no environment
// variable and nothing on its standard input, and takes the module only
// from beside itself.
#include "core/base/UniqueFd.h"
#include "core/system/LockScreen.h"
#include "core/system/SystemInstaller.h"
#include "helper/StackEdit.h"
#include "platform/system/LockScreenStack.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <optional>
#include <pwd.h>
#include <set>
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

// A process's user ids as /proc has them: real, effective, saved, file system.
std::optional<std::array<uid_t, 4>> uidsOf(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        std::array<uid_t, 4> ids{};
        if (std::sscanf(line.c_str(), "Uid: %u %u %u %u", &ids[0], &ids[1], &ids[2], &ids[3]) == 4)
            return ids;
    }
    return std::nullopt;
}

// Whom this run may act for: anyone when root asked (directly, or through
// sudo, which stays our parent as root); else only the user who asked.
// pkexec runs us in place of that user's process, which stays our parent,
// and polkit pins the verb alone: a cached authorisation of the user's
// must not reach another account. A parent gone (we were handed to init)
// says nothing of who asked; then the user whose login we descend from
// does, which no process can change, not even as root.
std::optional<uid_t> onlyFor() {
    pid_t parent = getppid();
    auto ids = uidsOf(parent);
    if (ids && parent != 1 && getppid() == parent) {
        if ((*ids)[1] == 0) return std::nullopt;
        return (*ids)[0];
    }
    unsigned login = unsigned(-1);
    std::ifstream("/proc/self/loginuid") >> login;
    if (login == 0) return std::nullopt;
    if (login != unsigned(-1)) return uid_t(login);
    fail("can't tell who asked; an administrator can run: sudo tarvoctl on --user NAME");
}

void requireUser(const std::string& name) {
    const struct passwd* entry = name.empty() ? nullptr : getpwnam(name.c_str());
    if (!entry) fail("no such user: " + name);
    auto only = onlyFor();
    if (!only || *only == entry->pw_uid) return;
    const struct passwd* asker = getpwuid(*only);
    std::string who = asker ? asker->pw_name : "uid " + std::to_string(*only);
    fail(who + " may act only for " + who + ", not for " + name +
         "; an administrator can run: sudo tarvoctl on --user " + name);
}

// A stack we may rewrite: a regular file of root's with one link, writable
// by nobody else, in folders that only root can change. A hard link to
// another file (say /etc/shadow) would have us rewrite that file.
void checkStack(const fs::path& stack, struct stat& st) {
    if (::lstat(stack.c_str(), &st) != 0) fail(stack.string() + ": " + std::strerror(errno));
    if (S_ISLNK(st.st_mode)) fail(stack.string() + " is a symlink; refusing to edit it");
    if (!S_ISREG(st.st_mode)) fail(stack.string() + " is not a regular file");
    if (st.st_nlink != 1) fail(stack.string() + " has other hard links; refusing to edit it");
    if (st.st_uid != 0) fail(stack.string() + " is not owned by root; refusing to edit it");
    if (st.st_mode & 0022) fail(stack.string() + " is writable by group or others; refusing");
    if (auto problem = LockScreen::rootOnlyChainProblem(stack.parent_path()))
        fail(*problem + "; refusing to edit " + stack.string());
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

// The temporary file being written, for the signal handler to remove.
char pendingTemp[PATH_MAX];

void removePending(int) {
    if (pendingTemp[0]) ::unlink(pendingTemp);
    _exit(1);
}

// A stack's temporary file: hidden, named after the stack, and marked as
// ours, so that nothing an administrator keeps beside it looks the same.
constexpr std::string_view tempMarker = ".tarvo-new-";
fs::path tempFor(const fs::path& stack) {
    std::string name = ".";
    name += stack.filename().string();
    name += tempMarker;
    name += "XXXXXX";
    return stack.parent_path() / name;
}

// A run killed mid-write (SIGKILL gives no chance to clean up) left its
// temporary file beside the stack: exactly the names tempFor makes for the
// stacks we edit, with mkstemp's six characters.
void removeStaleTemps() {
    for (const auto& stack : platform::everyLockScreenStack()) {
        std::string prefix = tempFor(stack).filename().string();
        prefix.resize(prefix.size() - 6);
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(stack.parent_path(), ec)) {
            std::string name = entry.path().filename();
            bool ours = name.size() == prefix.size() + 6 && name.rfind(prefix, 0) == 0 &&
                        std::all_of(name.begin() + long(prefix.size()), name.end(),
                                    [](unsigned char c) { return std::isalnum(c); });
            if (ours && entry.is_regular_file(ec) && !entry.is_symlink(ec))
                fs::remove(entry.path(), ec);
        }
    }
}

// Replaces the stack whole: a temporary file beside it with the same owner
// and mode, then a rename. On any error the old file stays.
void replace(const fs::path& stack, const struct stat& st, const std::string& text) {
    std::string temp = tempFor(stack).string();
    UniqueFd fd(mkostemp(temp.data(), O_CLOEXEC));
    if (!fd) fail(stack.parent_path().string() + ": " + std::strerror(errno));
    std::snprintf(pendingTemp, sizeof pendingTemp, "%s", temp.c_str());
    bool ok = fchown(fd.get(), st.st_uid, st.st_gid) == 0 &&
              fchmod(fd.get(), st.st_mode & 07777) == 0 && writeAll(fd.get(), text) &&
              fsync(fd.get()) == 0;
    int error = errno;
    fd.reset();
    if (!ok || ::rename(temp.c_str(), stack.c_str()) != 0) {
        if (ok) error = errno;
        ::unlink(temp.c_str());
        pendingTemp[0] = '\0';
        fail(stack.string() + ": " + std::strerror(error));
    }
    pendingTemp[0] = '\0';
}

// Rewrites one stack with `edit`, if that changes it.
template <typename Edit> void edit(const fs::path& stack, Edit change) {
    std::string before = readAll(stack);
    std::string after = change(before);
    if (after == before) return;
    struct stat st {};
    checkStack(stack, st);
    replace(stack, st, after);
}

// Runs a system program, named by its full path, with an environment of
// our own (not the caller's: we run as root) and nothing on its standard
// input; its exit status, and what it printed in `out`. Its complaints
// reach standard error as they are.
int runSystemProgram(std::vector<std::string> argv, std::string& out) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (null >= 0) ::dup2(null, STDIN_FILENO);
        ::dup2(pipeFds[1], STDOUT_FILENO);
        char path[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
        char frontend[] = "DEBIAN_FRONTEND=noninteractive";
        char* env[] = {path, frontend, nullptr};
        std::vector<char*> args;
        for (auto& arg : argv)
            args.push_back(arg.data());
        args.push_back(nullptr);
        ::execve(args[0], args.data(), env);
        _exit(127);
    }
    ::close(pipeFds[1]);
    UniqueFd from(pipeFds[0]);
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(from.get(), buffer, sizeof buffer)) > 0)
        out.append(buffer, size_t(n));
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

bool isMember(const std::string& user, const struct group& group) {
    const struct passwd* entry = getpwnam(user.c_str());
    if (entry && entry->pw_gid == group.gr_gid) return true;
    for (char** member = group.gr_mem; member && *member; ++member)
        if (user == *member) return true;
    return false;
}

// The folder this program runs from: the installation's libexec.
fs::path ownFolder() {
    std::error_code ec;
    fs::path self = fs::canonical("/proc/self/exe", ec);
    if (ec) fail("can't tell where tarvo-helper runs from: " + ec.message());
    return self.parent_path();
}

// Makes `folder` root's 0755 if it is missing; one that is there must be
// a real folder nobody but root can change.
void rootFolder(const fs::path& folder) {
    if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST)
        fail(folder.string() + ": " + std::strerror(errno));
}

// The memberships this helper added, "user group" a line: removal takes
// out exactly these, never one the user had before.
const fs::path joinedRecord = "/var/lib/tarvo/joined-groups";

std::vector<std::pair<std::string, std::string>> joinedGroups() {
    std::vector<std::pair<std::string, std::string>> joined;
    std::ifstream record(joinedRecord);
    for (std::string user, group; record >> user >> group;)
        joined.emplace_back(user, group);
    return joined;
}

void recordJoined(const std::vector<std::pair<std::string, std::string>>& joined) {
    if (joined.empty()) {
        std::error_code ec;
        fs::remove(joinedRecord, ec);
        fs::remove(joinedRecord.parent_path(), ec);
        return;
    }
    rootFolder(joinedRecord.parent_path().parent_path());
    rootFolder(joinedRecord.parent_path());
    std::string text;
    for (const auto& [user, group] : joined)
        text += user + " " + group + "\n";
    // Root's, 0644: what replace gives its new file.
    struct stat st {};
    st.st_mode = 0644;
    replace(joinedRecord, st, text);
}

// Lets the user's agent reach the TPM and the camera, where the system has
// a group for each; new memberships count from the user's next login.
void joinGroups(const std::string& user) {
    auto joined = joinedGroups();
    size_t before = joined.size();
    for (const char* name : {"tss", "video"}) {
        const struct group* group = getgrnam(name);
        if (!group || isMember(user, *group)) continue;
        std::string said;
        if (runSystemProgram({"/usr/bin/gpasswd", "-a", user, name}, said) == 0)
            joined.emplace_back(user, name);
        else
            std::fprintf(stderr, "tarvo-helper: could not add %s to the %s group\n", user.c_str(),
                         name);
    }
    if (joined.size() != before) recordJoined(joined);
}

// Takes the memberships this helper added out again: the user's, or
// everyone's (nullptr) when the whole installation goes.
void leaveGroups(const std::string* user) {
    auto joined = joinedGroups();
    auto left = std::erase_if(joined, [&](const auto& membership) {
        if (user && membership.first != *user) return false;
        std::string said;
        (void)runSystemProgram({"/usr/bin/gpasswd", "-d", membership.first, membership.second},
                               said);
        return true;
    });
    if (left) recordJoined(joined);
}

// Puts this installation's module at /opt/tarvo/lib/pam_tarvo.so as a new
// file: a hidden copy, then a rename over the old name. A lock screen that
// has the old one loaded keeps its mapping of the old file; writing into
// that file instead would crash it at its next call, and a crashed locker
// can leave the session open.
void placeModule() {
    fs::path source = ownFolder() / "pam_tarvo.so";
    if (auto problem = LockScreen::rootOnlyChainProblem(source.string()))
        fail(*problem + "; refusing to install " + source.string());
    const fs::path folder = LockScreen::moduleDir;
    rootFolder(folder.parent_path());
    rootFolder(folder);
    if (auto problem = LockScreen::rootOnlyChainProblem(folder.string()))
        fail(*problem + "; refusing to install into " + folder.string());
    UniqueFd in(::open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!in) fail(source.string() + ": " + std::strerror(errno));
    fs::path temp = folder / ".pam_tarvo.so.new";
    ::unlink(temp.c_str());
    UniqueFd out(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!out) fail(temp.string() + ": " + std::strerror(errno));
    std::snprintf(pendingTemp, sizeof pendingTemp, "%s", temp.c_str());
    bool ok = fchmod(out.get(), 0644) == 0;
    char buffer[65536];
    ssize_t n;
    while (ok && (n = ::read(in.get(), buffer, sizeof buffer)) != 0)
        ok = n > 0 && writeAll(out.get(), {buffer, size_t(n)});
    ok = ok && fsync(out.get()) == 0;
    int error = errno;
    out.reset();
    if (!ok || ::rename(temp.c_str(), LockScreen::module) != 0) {
        if (ok) error = errno;
        ::unlink(temp.c_str());
        pendingTemp[0] = '\0';
        fail(std::string(LockScreen::module) + ": " + std::strerror(error));
    }
    pendingTemp[0] = '\0';
}

// A stack of /etc/pam.d wired in place; one only the package ships (in
// /usr/lib/pam.d), or our earlier copy of it, wired in a fresh copy in
// /etc/pam.d, so that a newer package's stack is the one wired.
bool wiredAsCopy(const fs::path& stack) {
    std::error_code ec;
    auto status = fs::symlink_status(stack, ec);
    if (!fs::exists(status)) return true;
    if (!fs::is_regular_file(status)) return false;
    switch (StackEdit::copyState(readAll(stack))) {
    case StackEdit::CopyState::ours:
        return true;
    case StackEdit::CopyState::edited: {
        static std::set<fs::path> told;
        if (told.insert(stack).second)
            std::fprintf(stderr,
                         "tarvo-helper: %s was changed since tarvo-helper wrote it; only our "
                         "line in it is touched, and the file stays\n",
                         stack.c_str());
        return false;
    }
    case StackEdit::CopyState::notACopy:
        return false;
    }
    return false;
}

void wireStack(const fs::path& stack, const std::string& line) {
    if (!wiredAsCopy(stack)) {
        edit(stack, [&](const std::string& text) { return StackEdit::wire(text, line); });
        return;
    }
    auto vendor = platform::vendorStack(stack);
    struct stat st {};
    checkStack(vendor, st);
    replace(stack, st, StackEdit::wiredCopy(readAll(vendor), vendor.string(), line));
}

// Our copy of a stack whose package has gone since.
bool orphanedCopy(const fs::path& stack) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(stack, ec)) && wiredAsCopy(stack) &&
           !fs::exists(platform::vendorStack(stack), ec);
}

void install(const std::string& user) {
    requireUser(user);
    auto stacks = platform::lockScreenStacks();
    std::erase_if(stacks, [](const fs::path& stack) {
        if (!orphanedCopy(stack)) return false;
        if (::unlink(stack.c_str()) != 0) fail(stack.string() + ": " + std::strerror(errno));
        return true;
    });
    if (stacks.empty()) fail("no lock screen PAM stack found in /etc/pam.d or /usr/lib/pam.d");
    // All are checked before any is changed, so a refusal leaves none half done.
    for (const auto& stack : stacks) {
        struct stat st {};
        checkStack(wiredAsCopy(stack) ? platform::vendorStack(stack) : stack, st);
        if (auto problem = LockScreen::rootOnlyChainProblem(stack.parent_path()))
            fail(*problem + "; refusing to edit " + stack.string());
    }
    placeModule();
    std::string line = StackEdit::moduleLine(LockScreen::module);
    for (const auto& stack : stacks)
        wireStack(stack, line);
    joinGroups(user);
}

// Where lock screens load a module copy, it becomes this installation's.
void updateModule() {
    std::error_code ec;
    if (fs::exists(fs::symlink_status(LockScreen::module, ec))) placeModule();
}

// Our copy of a package's stack goes whole; any other loses our lines.
void unwireStack(const fs::path& stack) {
    if (!wiredAsCopy(stack)) return edit(stack, StackEdit::unwire);
    struct stat st {};
    checkStack(stack, st);
    if (::unlink(stack.c_str()) != 0) fail(stack.string() + ": " + std::strerror(errno));
}

// As many as can be are unwired, whatever fails with another. A symbolic
// link is never edited, so it was never wired: it is passed over.
void unwireAll() {
    std::string failures;
    for (const auto& stack : platform::everyLockScreenStack()) {
        std::error_code ec;
        auto status = fs::symlink_status(stack, ec);
        if (!fs::exists(status) || fs::is_symlink(status)) continue;
        try {
            unwireStack(stack);
        } catch (const Failure& failure) {
            failures += (failures.empty() ? "" : "; ") + failure.text;
        }
    }
    if (!failures.empty()) fail(failures);
}

void uninstall(const std::string& user) {
    requireUser(user);
    unwireAll();
    leaveGroups(&user);
}

// The module copy the lock screens loaded, once none names it any more:
// only our two file names, and the folders if that emptied them.
void removeModuleCopy() {
    const fs::path folder = fs::path(LockScreen::module).parent_path();
    std::error_code ec;
    if (!fs::exists(folder, ec)) return;
    if (auto problem = LockScreen::rootOnlyChainProblem(folder.string()))
        fail(*problem + "; refusing to remove " + folder.string());
    for (const auto& file : {fs::path(LockScreen::module), folder / ".pam_tarvo.so.new"})
        if (!fs::remove(file, ec) && ec) fail(file.string() + ": " + ec.message());
    fs::remove(folder, ec);
    fs::remove(folder.parent_path(), ec);
}

// What removing the package does before its files go.
void removeModule() {
    unwireAll();
    removeModuleCopy();
    leaveGroups(nullptr);
}

// An installation from the Debian package is dpkg's to remove.
bool installedByPackage(const fs::path& self) {
    std::string owner;
    return runSystemProgram({"/usr/bin/dpkg-query", "--search", self.string()}, owner) == 0 &&
           owner.rfind("tarvo: ", 0) == 0;
}

// Purges the package, whose scripts unwire every stack on the way out.
void purgePackage() {
    std::string progress;
    if (runSystemProgram({"/usr/bin/dpkg", "--purge", "tarvo"}, progress) != 0)
        fail("dpkg could not remove the tarvo package");
}

// The files an install wrote, as its manifest lists them, relative to the
// bundle, or the password check's own service. Anything else refuses the
// whole purge before a file is touched.
std::vector<fs::path> installedFiles(const fs::path& bundle) {
    fs::path manifest = bundle / "share/tarvo/install-manifest.txt";
    UniqueFd fd(::open(manifest.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) fail(bundle.string() + " has no install manifest; refusing to remove it");
    fd.reset();
    std::stringstream lines(readAll(manifest));
    std::vector<fs::path> files;
    for (std::string line; std::getline(lines, line);) {
        if (line.empty()) continue;
        fs::path file = fs::path(line).lexically_normal();
        auto inside = file.lexically_relative(bundle);
        if (file == "/etc/pam.d/tarvo")
            files.push_back(file);
        else if (file.is_absolute() && !inside.empty() && *inside.begin() != ".." && inside != ".")
            files.push_back(inside);
        else
            fail(manifest.string() + " names " + line + ", outside the installation");
    }
    files.push_back("share/tarvo/install-manifest.txt");
    return files;
}

// The folder holding `relative` beneath `base`, reached without following
// a symbolic link: a link or a file on the way would lead out of `base`.
// Empty when a folder on the way is missing.
UniqueFd folderBeneath(const fs::path& base, const fs::path& relative) {
    UniqueFd at(::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!at) fail(base.string() + ": " + std::strerror(errno));
    for (const auto& part : relative.parent_path()) {
        UniqueFd next(
            ::openat(at.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next && errno == ENOENT) return {};
        if (!next)
            fail((base / relative).string() +
                 " lies beneath a link or file, outside the installation; refusing to purge");
        at = std::move(next);
    }
    return at;
}

// Removes a file (a link itself, never what it names) or an emptied folder.
void removeBeneath(const fs::path& base, const fs::path& relative, bool folder) {
    UniqueFd at = folderBeneath(base, relative);
    if (at && ::unlinkat(at.get(), relative.filename().c_str(), folder ? AT_REMOVEDIR : 0) != 0 &&
        errno != ENOENT && !folder)
        fail((base / relative).string() + ": " + std::strerror(errno));
}

// Removes the application and the module copy: exactly the files its
// install wrote, then the folders that emptied, or the package through
// dpkg. Only the installation this helper belongs to, and only one that
// nobody but root can change (else the manifest or a folder could be
// swapped to point root elsewhere). Everything is checked before anything
// is changed.
void purge(const std::string& user, const fs::path& app) {
    requireUser(user);
    std::error_code ec;
    fs::path self = fs::canonical("/proc/self/exe", ec);
    fs::path bundle = fs::weakly_canonical(app, ec);
    if (ec || self != bundle / "libexec" / "tarvo-helper")
        fail(app.string() +
             " is not the installation this helper belongs to; refusing to remove it");
    if (auto problem = LockScreen::rootOnlyChainProblem(bundle.string()))
        fail(*problem + "; refusing to remove " + bundle.string());
    bool packaged = installedByPackage(self);
    std::vector<fs::path> files;
    if (!packaged) files = installedFiles(bundle);
    for (const auto& file : files)
        if (file.is_relative()) (void)folderBeneath(bundle, file);

    unwireAll();
    removeModuleCopy();
    if (packaged) return purgePackage();
    leaveGroups(nullptr);
    std::set<fs::path> folders;
    for (const auto& file : files) {
        if (file.is_absolute()) {
            if (!fs::remove(file, ec) && ec) fail(file.string() + ": " + ec.message());
            continue;
        }
        removeBeneath(bundle, file, false);
        for (fs::path folder = file.parent_path(); !folder.empty(); folder = folder.parent_path())
            folders.insert(folder);
    }
    // Deepest first; a folder that still holds something stays.
    for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder)
        removeBeneath(bundle, *folder, true);
    if (!SystemInstaller::isSharedPrefix(bundle)) fs::remove(bundle, ec);
}

int usage() {
    std::fprintf(stderr, "usage: tarvo-helper install --user NAME\n"
                         "       tarvo-helper uninstall --user NAME\n"
                         "       tarvo-helper update-module\n"
                         "       tarvo-helper purge --user NAME --app PATH\n"
                         "       tarvo-helper remove-module\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (geteuid() != 0) {
        std::fprintf(stderr, "tarvo-helper: must run as root\n");
        return 1;
    }
    for (int signal : {SIGHUP, SIGINT, SIGTERM, SIGPIPE})
        std::signal(signal, removePending);
    removeStaleTemps();
    try {
        if (args.size() == 3 && args[1] == "--user" && args[0] == "install")
            install(args[2]);
        else if (args.size() == 3 && args[1] == "--user" && args[0] == "uninstall")
            uninstall(args[2]);
        else if (args.size() == 5 && args[0] == "purge" && args[1] == "--user" &&
                 args[3] == "--app")
            purge(args[2], args[4]);
        else if (args == std::vector<std::string>{"update-module"})
            updateModule();
        else if (args == std::vector<std::string>{"remove-module"})
            removeModule();
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
