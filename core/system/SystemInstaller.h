#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The privileged steps of face unlock: copy the PAM module to
// /opt/tarvo/lib, wire it into the lock screen's stack, and undo both. Each
// step is a short shell script run as root: through `sudo -S` with the
// saved password, so that no prompt shows, else through `pkexec`, which
// shows the desktop's administrator prompt. Every call blocks until the
// script has ended; the app runs them off its main thread.
namespace tarvo::SystemInstaller {

struct Outcome {
    enum class Kind { failed, done, cancelled };
    Kind kind = Kind::failed;
    std::string message; // for failed: shown to the user

    static Outcome failed(std::string message) { return {Kind::failed, std::move(message)}; }
    static Outcome done() { return {Kind::done, {}}; }
    static Outcome cancelled() { return {Kind::cancelled, {}}; }
    bool operator==(const Outcome&) const = default;
};

// The programs that run a script as root. Tests put stand-ins here.
struct Runners {
    std::string sudo = "sudo";
    std::string pkexec = "pkexec";
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

Outcome install(const Runners& runners = {});
Outcome uninstall(const Runners& runners = {});
Outcome purge(const Runners& runners = {});

// Runs one script as root with `password` through sudo, or without one
// through pkexec. Neither the password nor the script is ever on a command
// line: both go through standard input.
Outcome runPrivileged(const std::string& script, const std::optional<std::string>& password,
                      const Runners& runners = {});

// 'value' with every ' written as '\''.
std::string shellQuoted(std::string_view value);
// The outcome of a finished runner from its exit status and standard error.
Outcome outcomeOf(int status, std::string_view errorText, bool prompted);

} // namespace tarvo::SystemInstaller
