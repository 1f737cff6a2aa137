#pragma once

#include "core/base/UniqueFd.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace tarvo::sandbox {

// Test users of the private user database. Their homes live under root().
inline constexpr uid_t aliceUid = 4242;
inline constexpr uid_t bobUid = 4343;

// Call first in main: re-executes the program once with nss_wrapper
// preloaded and a user database whose homes lie in a fresh temporary root,
// removed again when the program ends. Root and the test users resolve
// there; the machine's own home directories and /etc are never touched.
void enter(int argc, char** argv);

const std::filesystem::path& root();
// Gives a file to a user and group, as only root may; throws when that
// fails, as a test's setting up must hold.
void own(const std::filesystem::path& path, uid_t uid, gid_t gid);
std::filesystem::path home(std::string_view user);
// The per-user data folder of a test user, created owned by that user, mode 0700.
std::filesystem::path dataFolder(std::string_view user, uid_t uid);
// The agent's folder in the runtime directory of `uid` (/run/user/<uid>/tarvo),
// created owned by that user, mode 0700. As root the sandbox gives this
// process a /run/user of its own, with runtime directories for root and
// the test users, as a login manager would.
std::filesystem::path runtimeFolder(uid_t uid);

// The user's sessions as logind records them, in this process's own
// /run/systemd/users and /run/systemd/sessions (as root). Each test user
// starts with one local graphical session, the one a lock screen unlocks;
// `{}` is a user with none, as at the login screen after boot.
struct Session {
    std::string type = "x11";
    std::string sessionClass = "user";
    bool remote = false;
    bool closing = false;
};
void setSessions(uid_t uid, const std::vector<Session>& sessions);

// Starts `body` in a forked child with all ids set to `uid`; the child
// exits with what `body` returns. Fork only while this process runs no
// other thread: a lock another thread held at the fork stays held in the
// child for ever.
pid_t spawnAs(uid_t uid, const std::function<int()>& body);
// Waits for a child; its exit status, or 128 + signal when it was killed.
int waitFor(pid_t child);
// spawnAs, then waitFor.
inline int runAs(uid_t uid, const std::function<int()>& body) {
    return waitFor(spawnAs(uid, body));
}
// Starts the program argv[0] (searched in PATH) in a child as `uid`, with
// `env` added to this process's environment and its standard error
// silenced; the child's pid.
pid_t startAs(uid_t uid, const std::vector<std::string>& argv,
              const std::map<std::string, std::string>& env = {});
// A shell command's exit status and output, `input` on its standard input.
struct Ran {
    int status;
    std::string out, err;
};
Ran run(const std::string& command, const std::string& input = "");
// Runs `body` in a child as `uid`; the text it returned ("exit N" when it
// ended without returning).
std::string outputAs(uid_t uid, const std::function<std::string()>& body);

// As root: moves this process into a mount namespace of its own in which
// /etc/pam.d, /usr/lib/pam.d and /opt are folders of its own, so that tests
// can install and wire the module at its real paths without touching the
// machine's: empty, or with the pam.d folders holding copies of the
// machine's stacks. False
// when that isn't possible (not root).
bool privateSystemFolders(bool withMachineStacks = false);

// In that namespace, makes a test user real for what the private user
// database doesn't reach (the setgid unix_chkpwd that pam_unix runs):
// private copies of /etc/passwd, /etc/group and /etc/shadow with the user
// added under its sandbox home and `password` hashed.
void realUser(const std::string& name, uid_t uid, const std::string& password);

// A stream socket bound at `path` (replacing any file there), the file
// owned by `owner` with mode 0600, not yet listening; throws when it can't be.
UniqueFd boundSocket(const std::filesystem::path& path, uid_t owner);
// A stream socket connected to `path`; empty when nothing listens there.
UniqueFd connectedTo(const std::filesystem::path& path);

// A whole file; empty when it can't be read.
std::string readFile(const std::filesystem::path& path);
// Replaces `path` with `text`.
void writeFile(const std::filesystem::path& path, const std::string& text);
// The files beside `file` named after it with `suffix` and more (the
// copies set aside from it), in name order.
std::vector<std::filesystem::path> filesLike(const std::filesystem::path& file,
                                             const std::string& suffix = ".damaged-");
// The camera programs (tarvo-capture) this process started and has not
// reaped: cameras on, or programs not ended.
std::vector<pid_t> capturePrograms();
// A file's permission bits; 0 when it can't be looked at.
mode_t modeOf(const std::filesystem::path& path);
// What `body` threw as an E; nothing when it threw nothing.
template <class E> std::optional<E> thrown(const std::function<void()>& body) {
    try {
        body();
    } catch (const E& error) {
        return error;
    }
    return std::nullopt;
}
// How often `needle` occurs in `text`.
size_t occurrences(std::string_view text, std::string_view needle);
// Polls `condition` every few milliseconds until it holds or `limit` has
// passed; whether it held.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit);

} // namespace tarvo::sandbox
