#include "core/store/Paths.h"

#include "platform/store/UserDatabase.h"
#include "protocol/agent_protocol.h"

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#ifndef TARVO_DATA_INSTALL_DIR
#define TARVO_DATA_INSTALL_DIR "/usr/local/share/tarvo"
#endif

namespace tarvo::Paths {
namespace {

std::optional<std::filesystem::path> modelIn(const std::filesystem::path& dir) {
    for (const char* extension : {".tflite", ".onnx"}) {
        auto candidate = dir / (std::string("FaceEmbedding") + extension);
        std::error_code ec;
        if (std::filesystem::exists(candidate, ec)) return candidate;
    }
    return std::nullopt;
}

std::filesystem::path homeDirectory() {
    if (auto home = platform::homeDirectory(geteuid())) return *home;
    // Without an entry in the user database the environment is all we have.
    const char* env = std::getenv("HOME");
    return env ? env : "/";
}

// A relative value is invalid by the base-directory rules and ignored.
std::filesystem::path baseDirectory(const char* variable, const char* inHome) {
    const char* env = std::getenv(variable);
    if (env && env[0] == '/') return env;
    return homeDirectory() / inHome;
}

std::filesystem::path dataHome() {
    return baseDirectory("XDG_DATA_HOME", ".local/share");
}

} // namespace

std::filesystem::path configHome() {
    return baseDirectory("XDG_CONFIG_HOME", ".config");
}

const std::filesystem::path& dir() {
    static const std::filesystem::path folder = dataHome() / "tarvo";
    return folder;
}

std::filesystem::path config() {
    return dir() / "config.json";
}
std::filesystem::path configLastGood() {
    return dir() / "config.last-good.json";
}
std::filesystem::path enrolled() {
    return dir() / "enrolled.json";
}
std::filesystem::path legacyEnrolled() {
    return dir() / "enrolled.archive";
}
std::filesystem::path log() {
    return dir() / "tarvo.log";
}
std::filesystem::path passwordTyped() {
    return dir() / "password-typed";
}
std::filesystem::path scanHistory() {
    return dir() / "scans.json";
}

std::filesystem::path runtimeDirOf(uid_t uid) {
    char path[64];
    std::snprintf(path, sizeof path, TARVO_RUNTIME_FOLDER_FORMAT, unsigned(uid));
    return path;
}

std::filesystem::path socketOf(uid_t uid) {
    return runtimeDirOf(uid) / TARVO_SOCKET_NAME;
}

const std::filesystem::path& runtimeDir() {
    static const std::filesystem::path folder = runtimeDirOf(geteuid());
    return folder;
}

std::filesystem::path socket() {
    return runtimeDir() / TARVO_SOCKET_NAME;
}
std::filesystem::path lockFile() {
    return runtimeDir() / "agent.lock";
}

std::optional<std::filesystem::path> model() {
    if (const char* path = std::getenv("TARVO_MODEL")) return std::filesystem::path(path);
    if (auto installed = modelIn(TARVO_DATA_INSTALL_DIR)) return installed;
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) return modelIn(exe.parent_path());
    return std::nullopt;
}

} // namespace tarvo::Paths
