#include "sandbox/SyslogCapture.h"

#include "core/UniqueFd.h"
#include "sandbox/Sandbox.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <thread>
#include <unistd.h>

namespace tarvo::sandbox::SyslogCapture {
namespace {

// The socket's queue holds only a few datagrams and a sender blocks when
// it is full, so a thread keeps emptying it. Datagrams are taken off the
// socket only under the lock, so drain() sees everything sent before it.
struct Capture {
    UniqueFd socket;
    std::mutex lock;
    std::vector<std::string> received;

    void takePending() {
        char buffer[4096];
        ssize_t n;
        while ((n = recv(socket.get(), buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
            received.emplace_back(buffer, static_cast<size_t>(n));
    }
};

Capture& capture() {
    static Capture instance;
    return instance;
}

void keepEmptying() {
    pollfd waiter{capture().socket.get(), POLLIN, 0};
    while (poll(&waiter, 1, -1) >= 0) {
        std::lock_guard guard(capture().lock);
        capture().takePending();
    }
}

Entry parse(const std::string& line) {
    // "<pri>Mmm dd hh:mm:ss name: text"
    Entry entry;
    size_t close = line.find('>');
    if (line.empty() || line[0] != '<' || close == std::string::npos) return entry;
    int pri = std::atoi(line.c_str() + 1);
    entry.facility = pri & LOG_FACMASK;
    entry.priority = pri & LOG_PRIMASK;
    size_t colon = line.find(": ", close);
    entry.text = colon == std::string::npos ? line.substr(close + 1) : line.substr(colon + 2);
    return entry;
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
    if (capture().socket) return true;
    if (!privateDev()) return false;
    UniqueFd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", _PATH_LOG);
    ::unlink(_PATH_LOG);
    if (!fd || bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return false;
    capture().socket = std::move(fd);
    std::thread(keepEmptying).detach();
    return true;
}

std::vector<Entry> drain() {
    std::vector<std::string> lines;
    if (capture().socket) {
        std::lock_guard guard(capture().lock);
        capture().takePending();
        lines.swap(capture().received);
    }
    std::vector<Entry> entries;
    for (const auto& line : lines)
        entries.push_back(parse(line));
    return entries;
}

} // namespace tarvo::sandbox::SyslogCapture
