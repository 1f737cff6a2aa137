#include "core/SocketServer.h"

#include "core/AppIdentity.h"
#include "core/Secret.h"
#include "core/Text.h"
#include "core/UniqueFd.h"
#include "core/UnixSocket.h"
#include "platform/PeerCredentials.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace tarvo {

// The listening descriptor and the pipe that tells the accept thread to end.
// The thread shares ownership, so the descriptor is closed only once the
// thread no longer waits on it and its number can't be reused under it.
struct SocketServer::Listener {
    UniqueFd socket;
    UniqueFd wakeRead;
    UniqueFd wakeWrite;
};

namespace {

std::string systemError(int error) {
    return std::strerror(error);
}

// Written straight into the reply so no other copy of the password is left.
void appendHex(std::string& out, std::string_view bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    for (unsigned char byte : bytes) {
        out += digits[byte >> 4];
        out += digits[byte & 0x0F];
    }
}

} // namespace

std::shared_ptr<SocketServer> SocketServer::create(std::string path, Verify verify,
                                                   IsScanning isScanning, OnEvent onEvent) {
    return std::shared_ptr<SocketServer>(new SocketServer(
        std::move(path), std::move(verify), std::move(isScanning), std::move(onEvent)));
}

SocketServer::SocketServer(std::string path, Verify verify, IsScanning isScanning, OnEvent onEvent)
    : verify_(std::move(verify)), isScanning_(std::move(isScanning)), path_(std::move(path)),
      onEvent_(std::move(onEvent)), ownUid_(geteuid()) {}

SocketServer::~SocketServer() {
    if (listenFD_ >= 0) stop();
}

void SocketServer::start() {
    std::lock_guard guard(lifecycle_);
    // A socket left behind by a crashed agent would block the bind.
    ::unlink(path_.c_str());
    auto listener = std::make_shared<Listener>();
    listener->socket = UnixSocket::create();
    if (!listener->socket) throw ServerError(systemError(errno));
    auto addr = UnixSocket::address(path_);
    if (!addr) throw ServerError("socket path too long");
    int fd = listener->socket.get();
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&*addr), sizeof *addr) != 0)
        throw ServerError(systemError(errno));
    ::chmod(path_.c_str(), 0600);
    if (::listen(fd, 4) != 0) throw ServerError(systemError(errno));
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC) != 0) throw ServerError(systemError(errno));
    listener->wakeRead.reset(wake[0]);
    listener->wakeWrite.reset(wake[1]);

    listener_ = listener;
    listenFD_ = fd;
    std::thread(acceptLoop, std::move(listener), weak_from_this()).detach();
}

void SocketServer::stop() {
    std::lock_guard guard(lifecycle_);
    if (listenFD_ >= 0) {
        // New connections are refused from here on; the thread closes the
        // descriptor when it wakes.
        ::shutdown(listenFD_, SHUT_RDWR);
        char wake = 1;
        (void)!::write(listener_->wakeWrite.get(), &wake, 1);
        listenFD_ = -1;
        listener_.reset();
    }
    ::unlink(path_.c_str());
}

void SocketServer::acceptLoop(std::shared_ptr<Listener> listener,
                              std::weak_ptr<SocketServer> owner) {
    std::string name = std::string(AppIdentity::reverseDns) + ".socket";
    pthread_setname_np(pthread_self(), name.c_str());
    pollfd waiters[2] = {{listener->socket.get(), POLLIN, 0},
                         {listener->wakeRead.get(), POLLIN, 0}};
    for (;;) {
        int ready = ::poll(waiters, 2, -1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0 || waiters[1].revents != 0) return;
        UniqueFd connection(::accept4(listener->socket.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!connection) {
            if (errno == EINTR || errno == EAGAIN || errno == ECONNABORTED) continue;
            return;
        }
        auto server = owner.lock();
        if (!server) return;
        server->serve(connection.get());
    }
}

void SocketServer::serve(int connection) {
    std::optional<uid_t> peer = platform::peerUid(connection);
    if (!peer) {
        UnixSocket::sendAll(connection, "NO peer-unknown\n");
        return;
    }
    if (*peer != 0 && *peer != ownUid_) {
        onEvent_("rejected connection from uid " + std::to_string(*peer));
        UnixSocket::sendAll(connection, "NO wrong-user\n");
        return;
    }
    // One read only: a request split across writes is judged by its first part.
    auto request = UnixSocket::readOnce(connection, 256, requestTimeoutMs);
    if (!request) return;
    std::string reply = answer(*request, *peer);
    UnixSocket::sendAll(connection, reply);
    wipe(reply);
}

std::string SocketServer::answer(std::string_view bytes, uid_t peer) {
    std::string request(Text::trim(Text::decodeLossy(bytes)));
    if (request == "VERIFY") {
        if (peer != 0) {
            onEvent_("VERIFY refused from uid " + std::to_string(peer) +
                     ": only the lock screen may ask");
            return "NO not-root\n";
        }
        std::optional<Match> match = verify_();
        if (!match) {
            onEvent_("VERIFY -> NO (enrolled face not seen)");
            return "NO not-seen\n";
        }
        char event[64];
        std::snprintf(event, sizeof event, "VERIFY -> OK (distance %.3f)", match->distance);
        onEvent_(event);
        std::string reply;
        reply.reserve(3 + match->password.size() * 2 + 1);
        reply += "OK ";
        appendHex(reply, match->password);
        reply += '\n';
        wipe(match->password);
        return reply;
    }
    if (request == "STATUS") return isScanning_() ? "SCANNING\n" : "IDLE\n";
    return "NO bad-request\n";
}

} // namespace tarvo
