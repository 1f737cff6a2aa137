#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// Read-only checks of how the lock screen loads the face-unlock module: is
// it wired, is the chain of directories above it safe, is the installed
// module another build than the application's own copy.
namespace tarvo::LockScreen {

inline constexpr const char* moduleDir = "/opt/tarvo/lib";
inline constexpr const char* module = "/opt/tarvo/lib/pam_tarvo.so";

// The PAM stack files of the lock screens this machine has.
std::vector<std::filesystem::path> stacks();

// The 40 characters after "TARVO-MODULE-ID:" in the file (fewer if it ends).
std::optional<std::string> moduleID(const std::filesystem::path& path);
// Whether the module installed at `installed` is another build than the
// application's copy at `appCopy`.
bool moduleIsOutdated(const std::filesystem::path& appCopy,
                      const std::filesystem::path& installed = module);
// The absolute module path of the first active line naming pam_tarvo.so.
std::optional<std::string> wiredModulePath(const std::filesystem::path& stackFile);
// The module path the lock screens are wired to: the first stack's that
// names one; nothing when none does.
std::optional<std::string> wiredModulePath();
// The first element from `path` up to "/" that is missing, a symlink, not
// owned by root, or writable by group or others; nothing when all are safe.
std::optional<std::string> rootOnlyChainProblem(const std::string& path);

} // namespace tarvo::LockScreen
