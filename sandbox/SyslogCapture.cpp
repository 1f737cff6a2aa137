#include "sandbox/SyslogCapture.h"

#include "core/UniqueFd.h"
#include "sandbox/Sandbox.h"

#include <cstdio>
#include <filesystem>
#include <unistd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>

namespace tarvo::sandbox::SyslogCapture {
namespace {

UniqueFd& logSocket() {
    static UniqueFd fd;
    return fd;
}

// /dev seen through an overlay, so /dev/log can be created in this
// namespace alone while the real devices stay reachable.
bool privateDev() {
    auto upper = root() / "dev-upper", work = root() / "dev-work";
    std::filesystem::create_directories(upper);
    std::filesystem::create_directories(work);
    std::string options = "lowerdir=/dev,upperdir=" + upper.string() + ",workdir=" + work.string();
    return unshare(CLONE_NEWNS) == 0 &&
           mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount("overlay", "/dev", "overlay", 0, options.c_str()) == 0;
}

} // namespace

bool install() {
    if (logSocket()) return true;
    if (!privateDev()) return false;
    UniqueFd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", _PATH_LOG);
    ::unlink(_PATH_LOG);
    if (!fd || bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return false;
    logSocket() = std::move(fd);
    return true;
}

std::vector<Entry> drain() {
    std::vector<Entry> entries;
    char buffer[4096];
    ssize_t n;
    while (logSocket() && (n = recv(logSocket().get(), buffer, sizeof buffer, 0)) > 0) {
        std::string line(buffer, static_cast<size_t>(n));
        Entry entry;
        size_t close = line.find('>');
        if (line.empty() || line[0] != '<' || close == std::string::npos) continue;
        int pri = std::stoi(line.substr(1, close - 1));
        entry.facility = pri & LOG_FACMASK;
        entry.priority = pri & LOG_PRIMASK;
        // "<pri>Mmm dd hh:mm:ss name[pid]: text" or "name: text"
        size_t colon = line.find(": ", close);
        entry.text = colon == std::string::npos ? line.substr(close + 1) : line.substr(colon + 2);
        entries.push_back(std::move(entry));
    }
    return entries;
}

} // namespace tarvo::sandbox::SyslogCapture
