#include "sandbox/Sandbox.h"

#include "core/agent/UnixSocket.h"
#include "core/store/Paths.h"
#include "sandbox/BuildTree.h"

#include <algorithm>
#include <cerrno>
#include <crypt.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <grp.h>
#include <map>
#include <sched.h>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace tarvo::sandbox {
std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::vector<std::filesystem::path> filesLike(const std::filesystem::path& file,
                                             const std::string& suffix) {
    std::vector<std::filesystem::path> found;
    std::string prefix = file.filename().string() + suffix;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(file.parent_path(), ec))
        if (entry.path().filename().string().starts_with(prefix)) found.push_back(entry.path());
    std::sort(found.begin(), found.end());
    return found;
}

std::vector<pid_t> capturePrograms() {
    std::vector<pid_t> found;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        pid_t pid = std::atoi(entry.path().filename().c_str());
        if (pid <= 0) continue;
        // "pid (comm) state ppid ..."; none of a process that ended since
        // the listing, whose stat opens and then fails to read (ESRCH).
        std::string stat;
        try {
            stat = readFile(entry.path() / "stat");
        } catch (const std::ios_base::failure&) {
            continue;
        }
        auto end = stat.find(") ");
        if (end == std::string::npos || stat.find("(tarvo-capture)") == std::string::npos) continue;
        if (std::atoi(stat.c_str() + end + 4) == ::getpid()) found.push_back(pid);
    }
    return found;
}

UniqueFd boundSocket(const std::filesystem::path& path, uid_t owner) {
    auto addr = UnixSocket::address(path.string());
    UniqueFd fd = UnixSocket::create();
    std::filesystem::remove(path);
    if (!addr || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&*addr), sizeof *addr) != 0 ||
        ::chown(path.c_str(), owner, owner) != 0 || ::chmod(path.c_str(), 0600) != 0)
        throw std::runtime_error("sandbox: cannot bind " + path.string());
    return fd;
}

UniqueFd connectedTo(const std::filesystem::path& path) {
    auto addr = UnixSocket::address(path.string());
    UniqueFd fd = UnixSocket::create();
    if (!addr || ::connect(fd.get(), reinterpret_cast<sockaddr*>(&*addr), sizeof *addr) != 0)
        fd.reset();
    return fd;
}

mode_t modeOf(const std::filesystem::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

size_t occurrences(std::string_view text, std::string_view needle) {
    size_t n = 0;
    for (auto at = text.find(needle); at != std::string_view::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

namespace {

constexpr const char* rootVariable = "TARVO_SANDBOX_ROOT";

std::filesystem::path& rootPath() {
    static std::filesystem::path path;
    return path;
}

pid_t& ownerPid() {
    static pid_t pid = 0;
    return pid;
}

void removeRoot() {
    if (getpid() != ownerPid()) return;
    std::error_code ignored;
    std::filesystem::remove_all(rootPath(), ignored);
}

void writeUserDatabase(const std::filesystem::path& dir) {
    std::ofstream passwd(dir / "passwd");
    passwd << "root:x:0:0:root:" << (dir / "home/root").string() << ":/bin/sh\n"
           << "alice:x:" << aliceUid << ":" << aliceUid << "::" << (dir / "home/alice").string()
           << ":/bin/sh\n"
           << "bob:x:" << bobUid << ":" << bobUid << "::" << (dir / "home/bob").string()
           << ":/bin/sh\n";
    std::ofstream group(dir / "group");
    group << "root:x:0:\nalice:x:" << aliceUid << ":\nbob:x:" << bobUid << ":\n";
    if (!passwd || !group) throw std::runtime_error("sandbox: cannot write the user database");
}

void makeHome(const std::filesystem::path& dir, uid_t uid) {
    std::filesystem::create_directories(dir);
    if (::chown(dir.c_str(), uid, uid) != 0 && getuid() == 0)
        throw std::runtime_error("sandbox: cannot chown " + dir.string());
}

void reexec(char** argv) {
    char pattern[] = "/tmp/tarvo-sandbox.XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("sandbox: mkdtemp failed");
    std::filesystem::path dir = pattern;
    // Other test uids must be able to reach their homes below it.
    std::filesystem::permissions(dir, std::filesystem::perms(0755));
    writeUserDatabase(dir);
    makeHome(dir / "home/root", 0);
    makeHome(dir / "home/alice", aliceUid);
    makeHome(dir / "home/bob", bobUid);

    setenv(rootVariable, dir.c_str(), 1);
    setenv("NSS_WRAPPER_PASSWD", (dir / "passwd").c_str(), 1);
    setenv("NSS_WRAPPER_GROUP", (dir / "group").c_str(), 1);
    setenv("LD_PRELOAD", tree::nssWrapper, 1);
    // The wrapper reaches libc's own resolver functions (getaddrinfo for the
    // TPM's loopback address) through a deep-bound dlopen, which the
    // sanitizers refuse.
    setenv("NSS_WRAPPER_DISABLE_DEEPBIND", "1", 1);
    if (TARVO_SANITIZED) {
        // The preloaded wrapper comes before the sanitizer runtime.
        std::string options = "verify_asan_link_order=0";
        if (const char* old = getenv("ASAN_OPTIONS")) options = std::string(old) + ":" + options;
        setenv("ASAN_OPTIONS", options.c_str(), 1);
    }
    execv("/proc/self/exe", argv);
    throw std::runtime_error("sandbox: cannot re-execute");
}

} // namespace

// Runtime directories and sessions as logind makes them, in a /run/user
// and /run/systemd of this process's own, so the agent's socket lies where
// the module looks for it and the users are logged in.
void privateRuntimeDirectories() {
    if (geteuid() != 0) return;
    const char* privates[] = {"/run/user", "/run/systemd/users", "/run/systemd/sessions"};
    for (const char* folder : privates)
        std::filesystem::create_directories(folder);
    bool isolated = ::unshare(CLONE_NEWNS) == 0 &&
                    ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    for (const char* folder : privates)
        isolated = isolated && ::mount("tmpfs", folder, "tmpfs", 0, "mode=755") == 0;
    if (!isolated) throw std::runtime_error("sandbox: cannot make a private /run");
    for (uid_t uid : {uid_t(0), aliceUid, bobUid}) {
        std::filesystem::path dir = "/run/user/" + std::to_string(uid);
        std::filesystem::create_directory(dir);
        own(dir, uid, uid);
        std::filesystem::permissions(dir, std::filesystem::perms(0700));
    }
    for (uid_t uid : {aliceUid, bobUid})
        setSessions(uid, {Session{}});
}

void setSessions(uid_t uid, const std::vector<Session>& sessions) {
    // As logind writes them: whole, then moved into place, which is what
    // sd_login_monitor watches for.
    auto writeFile = [](const std::string& path, const std::string& text) {
        sandbox::writeFile(path + ".new", text);
        std::filesystem::rename(path + ".new", path);
    };
    const std::string user = "/run/systemd/users/" + std::to_string(uid);
    std::string all, online, display;
    for (size_t i = 0; i < sessions.size(); i++) {
        const Session& s = sessions[i];
        std::string id = std::to_string(uid) + "s" + std::to_string(i);
        if (display.empty() && !s.closing && (s.type == "x11" || s.type == "wayland")) display = id;
        writeFile("/run/systemd/sessions/" + id,
                  "UID=" + std::to_string(uid) + "\nSTATE=" + (s.closing ? "closing" : "online") +
                      "\nREMOTE=" + (s.remote ? "1" : "0") + "\nTYPE=" + s.type +
                      "\nCLASS=" + s.sessionClass + "\n");
        all += (all.empty() ? "" : " ") + id;
        if (!s.closing) online += (online.empty() ? "" : " ") + id;
    }
    writeFile(user, "STATE=" + std::string(online.empty() ? "lingering" : "online") +
                        (display.empty() ? "" : "\nDISPLAY=" + display) + "\nSESSIONS=" + all +
                        "\nONLINE_SESSIONS=" + online + "\n");
}

void enter(int, char** argv) {
    const char* existing = getenv(rootVariable);
    if (!existing) reexec(argv);
    rootPath() = existing;
    ownerPid() = getpid();
    std::atexit(removeRoot);
    privateRuntimeDirectories();
    // Root's data folder, as a first agent or save makes it: tests write
    // into it directly. Not through Paths, which would fix its folder for
    // every child forked to act as another user.
    if (geteuid() == 0) dataFolder("root", 0);
}

const std::filesystem::path& root() {
    return rootPath();
}

void own(const std::filesystem::path& path, uid_t uid, gid_t gid) {
    if (::chown(path.c_str(), uid, gid) != 0)
        throw std::system_error(errno, std::generic_category(), "sandbox: chown " + path.string());
}

std::filesystem::path home(std::string_view user) {
    return root() / "home" / user;
}

std::filesystem::path dataFolder(std::string_view user, uid_t uid) {
    std::filesystem::path folder = home(user) / ".local/share/tarvo";
    std::filesystem::create_directories(folder);
    for (auto dir = folder; dir != home(user); dir = dir.parent_path())
        own(dir, uid, uid);
    std::filesystem::permissions(folder, std::filesystem::perms(0700));
    return folder;
}

std::filesystem::path runtimeFolder(uid_t uid) {
    std::filesystem::path folder = Paths::runtimeDirOf(uid);
    std::filesystem::create_directories(folder);
    own(folder, uid, uid);
    std::filesystem::permissions(folder, std::filesystem::perms(0700));
    return folder;
}

pid_t spawnAs(uid_t uid, const std::function<int()>& body) {
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("sandbox: fork failed");
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setresgid(uid, uid, uid) != 0 ||
            setresuid(uid, uid, uid) != 0)
            _exit(126);
        int status = 127;
        try {
            status = body();
        } catch (...) {
        }
        _exit(status);
    }
    return pid;
}

pid_t startAs(uid_t uid, const std::vector<std::string>& argv,
              const std::map<std::string, std::string>& env) {
    return spawnAs(uid, [&] {
        for (const auto& [name, value] : env)
            ::setenv(name.c_str(), value.c_str(), 1);
        (void)!std::freopen("/dev/null", "w", stderr);
        std::vector<char*> args;
        for (const auto& arg : argv)
            args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        return 127;
    });
}

Ran run(const std::string& command, const std::string& input) {
    auto dir = root() / ("run-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    writeFile(dir / "in", input);
    int status = std::system(("(" + command + ") <" + (dir / "in").string() + " >" +
                              (dir / "out").string() + " 2>" + (dir / "err").string())
                                 .c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128, readFile(dir / "out"),
            readFile(dir / "err")};
}

std::string outputAs(uid_t uid, const std::function<std::string()>& body) {
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("sandbox: pipe failed");
    pid_t child = spawnAs(uid, [&] {
        ::close(out[0]);
        std::string text = body();
        return ::write(out[1], text.data(), text.size()) == ssize_t(text.size()) ? 0 : 1;
    });
    ::close(out[1]);
    std::string text;
    char buffer[512];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, size_t(n));
    ::close(out[0]);
    int status = waitFor(child);
    return status == 0 ? text : "exit " + std::to_string(status);
}

int waitFor(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool privateSystemFolders(bool withMachineStacks) {
    // The stacks of /etc and the packages' own of /usr/lib, copied first.
    std::map<std::string, std::string> stacks;
    std::error_code ec;
    for (const char* folder : {"/usr/lib/pam.d", "/etc/pam.d"})
        for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
            if (withMachineStacks && entry.is_regular_file(ec))
                stacks[entry.path().string()] = readFile(entry.path());
    bool isolated = geteuid() == 0 && ::unshare(CLONE_NEWNS) == 0 &&
                    ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                    ::mount("tmpfs", "/etc/pam.d", "tmpfs", 0, "mode=755") == 0 &&
                    ::mount("tmpfs", "/usr/lib/pam.d", "tmpfs", 0, "mode=755") == 0 &&
                    ::mount("tmpfs", "/opt", "tmpfs", 0, "mode=755") == 0;
    // Root that can't have its own namespace is a machine fault the tests
    // must name, not a reason to skip.
    if (geteuid() == 0 && !isolated)
        std::fprintf(stderr, "no private /etc/pam.d, /usr/lib/pam.d and /opt: %s\n",
                     std::strerror(errno));
    for (const auto& [path, text] : stacks)
        if (isolated) std::ofstream(path) << text;
    return isolated;
}

void realUser(const std::string& name, uid_t uid, const std::string& password) {
    std::string id = std::to_string(uid);
    const char* hash = crypt(password.c_str(), crypt_gensalt("$6$", 0, nullptr, 0));
    if (!hash || hash[0] == '*') throw std::runtime_error("sandbox: cannot hash a password");
    struct Entry {
        const char* file;
        std::string line;
    };
    for (const Entry& entry :
         {Entry{"passwd", name + ":x:" + id + ":" + id + "::" + home(name).string() + ":/bin/sh"},
          Entry{"group", name + ":x:" + id + ":"},
          Entry{"shadow", name + ":" + hash + ":19000:0:99999:7:::"}}) {
        std::filesystem::path real = std::string("/etc/") + entry.file;
        std::filesystem::path copy = root() / ("etc-" + std::string(entry.file));
        std::ofstream(copy) << readFile(real) << entry.line << "\n";
        // The shadow copy keeps the original's owner and mode: unix_chkpwd
        // reads it through its group.
        struct stat st {};
        if (::stat(real.c_str(), &st) != 0 || ::chown(copy.c_str(), st.st_uid, st.st_gid) != 0 ||
            ::chmod(copy.c_str(), st.st_mode & 07777) != 0 ||
            ::mount(copy.c_str(), real.c_str(), nullptr, MS_BIND, nullptr) != 0)
            throw std::runtime_error("sandbox: cannot make " + name + " a real user");
    }
}

} // namespace tarvo::sandbox
