#include "sandbox/SyslogCapture.h"

#include "core/base/UniqueFd.h"
#include "sandbox/Sandbox.h"

#include <cstdio>
#include <filesystem>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

namespace tarvo::sandbox::SyslogCapture {
namespace {

// /dev/log is a stream socket: glibc's syslog, refused a datagram
// connection, connects by stream and writes each message ending in a NUL.
// The kernel buffers what is written before the connection is accepted, so
// no thread is needed to keep senders from blocking (a thread would also
// make the tests' forks unsafe).
struct Capture {
    UniqueFd listener;
    std::vector<UniqueFd> connections;
    std::string pending;
};

Capture& capture() {
    static Capture instance;
    return instance;
}

void takePending() {
    Capture& c = capture();
    while (int fd = accept4(c.listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) {
        if (fd < 0) break;
        c.connections.emplace_back(fd);
    }
    char buffer[4096];
    for (auto& connection : c.connections) {
        ssize_t n;
        while ((n = recv(connection.get(), buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
            c.pending.append(buffer, static_cast<size_t>(n));
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
    if (capture().listener) return true;
    if (!privateDev()) return false;
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", _PATH_LOG);
    ::unlink(_PATH_LOG);
    if (!fd || bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(fd.get(), 64) != 0)
        return false;
    capture().listener = std::move(fd);
    return true;
}

std::vector<Entry> drain() {
    std::vector<Entry> entries;
    if (!capture().listener) return entries;
    takePending();
    std::string& pending = capture().pending;
    size_t start = 0;
    for (size_t end; (end = pending.find('\0', start)) != std::string::npos; start = end + 1)
        entries.push_back(parse(pending.substr(start, end - start)));
    pending.erase(0, start);
    return entries;
}

} // namespace tarvo::sandbox::SyslogCapture
