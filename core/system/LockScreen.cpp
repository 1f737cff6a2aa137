#include "core/system/LockScreen.h"

#include "core/store/DataFile.h"
#include "platform/store/UserDatabase.h"
#include "platform/system/LockScreenStack.h"

#include <cstdio>
#include <sstream>
#include <sys/stat.h>
#include <vector>

namespace tarvo::LockScreen {

std::vector<std::filesystem::path> stacks() {
    return platform::lockScreenStacks();
}

std::optional<std::string> moduleID(const std::filesystem::path& path) {
    auto bytes = DataFile::read(path, 64u << 20);
    if (!bytes) return std::nullopt;
    constexpr std::string_view marker = "TARVO-MODULE-ID:";
    size_t at = bytes->find(marker);
    if (at == std::string::npos) return std::nullopt;
    std::string id = bytes->substr(at + marker.size(), 40);
    for (unsigned char c : id)
        if (c > 0x7F) return std::nullopt;
    return id;
}

bool moduleIsOutdated(const std::filesystem::path& appCopy,
                      const std::filesystem::path& installed) {
    std::error_code ec;
    if (!std::filesystem::exists(installed, ec)) return false;
    auto expected = moduleID(appCopy);
    if (!expected) return false;
    auto current = moduleID(installed);
    return !current || *current != *expected;
}

std::optional<std::string> wiredModulePath(const std::filesystem::path& stackFile) {
    auto text = DataFile::read(stackFile);
    if (!text) return std::nullopt;
    std::istringstream lines(*text);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#' || line.find("pam_tarvo.so") == std::string::npos)
            continue;
        std::istringstream fields(line);
        for (std::string field; fields >> field;)
            if (field[0] == '/') return field;
        return std::nullopt;
    }
    return std::nullopt;
}

std::optional<std::string> wiredModulePath() {
    for (const auto& stack : stacks())
        if (auto path = wiredModulePath(stack)) return path;
    return std::nullopt;
}

std::optional<std::string> rootOnlyChainProblem(const std::string& path) {
    std::string current = path;
    for (;;) {
        struct stat st {};
        if (::lstat(current.c_str(), &st) != 0) return current + " does not exist";
        if (S_ISLNK(st.st_mode)) return current + " is a symlink";
        if (st.st_uid != 0) {
            auto name = platform::userName(st.st_uid);
            return current + " is owned by " + (name ? *name : "uid " + std::to_string(st.st_uid)) +
                   ", not root";
        }
        if (st.st_mode & 0022) {
            char mode[16];
            std::snprintf(mode, sizeof mode, "%o", static_cast<unsigned>(st.st_mode & 07777));
            return current + " is writable by group or others (mode " + mode + ")";
        }
        if (current == "/") return std::nullopt;
        size_t slash = current.find_last_of('/');
        current = slash == 0 || slash == std::string::npos ? "/" : current.substr(0, slash);
    }
}

} // namespace tarvo::LockScreen
