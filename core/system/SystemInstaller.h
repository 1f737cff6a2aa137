#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

// The privileged steps of face unlock, each a verb of the helper in the
// installation's libexec (install, uninstall, update-module, purge), which
// copies the module, wires the lock screens' stacks and undoes both. The
// helper runs as root: directly when this process is root; else through
// `sudo -S` with the saved password, so that no prompt shows; else through
// `pkexec`, whose prompt shows the message of the helper's polkit action.
// Never a shell, never a script: root runs only the helper's code. Every
// call blocks until the helper has ended; the app runs them off its main
// thread.
namespace tarvo::SystemInstaller {

struct Outcome {
    // notGranted: pkexec could ask nobody (polkit isn't running, or no
    // authentication agent is), so a terminal can suggest root; refused:
    // an administrator was asked and the answer was no.
    enum class Kind { failed, done, cancelled, notGranted, refused };
    Kind kind = Kind::failed;
    std::string message; // for failed, notGranted and refused: shown to the user

    static Outcome failed(std::string message) { return {Kind::failed, std::move(message)}; }
    static Outcome done() { return {Kind::done, {}}; }
    static Outcome cancelled() { return {Kind::cancelled, {}}; }
    static Outcome notGranted(std::string reason = "Administrator rights were not granted.") {
        return {Kind::notGranted, std::move(reason)};
    }
    static Outcome refused() {
        return {Kind::refused, "The administrator's password was refused, or this account may "
                               "not make this change."};
    }
    // What pkexec's exit 127 and its words on standard error mean, in one
    // sentence of ours each.
    static Outcome ofPkexecRefusal(std::string_view said);
    bool operator==(const Outcome&) const = default;
};

// The programs that run the helper as root, and whether this process is
// root already. Tests put stand-ins here.
struct Runners {
    std::string sudo = "sudo";
    std::string pkexec = "pkexec";
    bool asRoot = ::geteuid() == 0;
};

// The installed application: TARVO_BUNDLE, else the folder above the one
// holding the running executable (an install prefix of its own, such as
// /opt/tarvo-app). Its "libexec" folder holds the module copy and the helper.
std::filesystem::path bundle();
std::filesystem::path helper();
std::string bundledModule();
// The helper exists and is executable, in a bundle of Tarvo's own: a shared
// prefix such as /usr/local is never one, since purge removes the bundle.
bool isBundled();
// A prefix other software shares ("/", "/usr", "/usr/local", "/opt",
// "/home"): never a bundle, never removed whole.
bool isSharedPrefix(const std::filesystem::path& path);

// Each for `user` (by default this process's): the tarvoctl command that
// does the same, which an administrator can run where no way to get
// administrator rights exists.
Outcome install(const Runners& runners = {}, const std::string& user = {});
Outcome uninstall(const Runners& runners = {}, const std::string& user = {});
Outcome updateModule(const Runners& runners = {});
Outcome purge(const Runners& runners = {}, const std::string& user = {});

// The helper with `arguments`, as root: directly, through sudo with
// `password` (sent only when sudo asks for it, never on a command line),
// or through pkexec. `command` is what an administrator would run instead
// ("tarvoctl on --user alice"), for the sentence said when no way exists.
Outcome runHelper(const std::vector<std::string>& arguments,
                  const std::optional<std::string>& password, const std::string& command,
                  const Runners& runners = {});

// The outcome of a finished runner from its exit status and standard error.
Outcome outcomeOf(int status, std::string_view errorText, bool prompted);

} // namespace tarvo::SystemInstaller
