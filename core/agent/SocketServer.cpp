#include "core/agent/SocketServer.h"

#include "core/agent/UnixSocket.h"
#include "core/base/AppIdentity.h"
#include "core/base/Secret.h"
#include "core/base/Text.h"
#include "core/base/UniqueFd.h"
#include "platform/agent/PeerCredentials.h"
#include "protocol/agent_protocol.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <system_error>
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
                                                   IsScanning isScanning, OnEvent onEvent,
                                                   OnAccepted onAccepted) {
    return std::shared_ptr<SocketServer>(new SocketServer(std::move(path), std::move(verify),
                                                          std::move(isScanning), std::move(onEvent),
                                                          std::move(onAccepted)));
}

SocketServer::SocketServer(std::string path, Verify verify, IsScanning isScanning, OnEvent onEvent,
                           OnAccepted onAccepted)
    : verify_(std::move(verify)), isScanning_(std::move(isScanning)), path_(std::move(path)),
      onEvent_(std::move(onEvent)), onAccepted_(std::move(onAccepted)), ownUid_(geteuid()) {}

SocketServer::~SocketServer() {
    if (listenFD_ >= 0) stop();
}

void SocketServer::start() {
    std::lock_guard guard(lifecycle_);
    // A socket left behind by a crashed agent would block the bind.
    ::unlink(path_.c_str());
    auto listener = std::make_shared<Listener>();
    listener->socket = UnixSocket::create();
    if (!listener->socket) throw ServerError::bindFailed(systemError(errno));
    auto addr = UnixSocket::address(path_);
    if (!addr) throw ServerError::bindFailed("socket path too long");
    int fd = listener->socket.get();
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&*addr), sizeof *addr) != 0)
        throw ServerError::bindFailed(systemError(errno));
    ::chmod(path_.c_str(), 0600);
    if (::listen(fd, 4) != 0) throw ServerError::bindFailed(systemError(errno));
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC) != 0) throw ServerError::bindFailed(systemError(errno));
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

// A permitted connection waiting for its request.
struct SocketServer::Waiting {
    UniqueFd fd;
    uid_t peer;
    std::chrono::steady_clock::time_point deadline;
};

void SocketServer::acceptLoop(std::shared_ptr<Listener> listener,
                              std::weak_ptr<SocketServer> owner) {
    std::string name = std::string(AppIdentity::reverseDns) + ".socket";
    pthread_setname_np(pthread_self(), name.c_str());
    std::vector<Waiting> waiting;
    for (;;) {
        std::vector<pollfd> waiters = {{listener->socket.get(), POLLIN, 0},
                                       {listener->wakeRead.get(), POLLIN, 0}};
        auto now = std::chrono::steady_clock::now();
        int timeout = -1;
        for (const auto& connection : waiting) {
            waiters.push_back({connection.fd.get(), POLLIN, 0});
            auto left = std::chrono::ceil<std::chrono::milliseconds>(connection.deadline - now);
            int ms = std::max(0, int(left.count()));
            timeout = timeout < 0 ? ms : std::min(timeout, ms);
        }
        int ready = ::poll(waiters.data(), waiters.size(), timeout);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0 || waiters[1].revents != 0) return;
        auto server = owner.lock();
        if (!server) return;
        // Requests that arrived, and peers whose time ran out, leave the list.
        now = std::chrono::steady_clock::now();
        std::vector<Waiting> still;
        for (size_t i = 0; i < waiting.size(); ++i) {
            if (waiters[i + 2].revents != 0) {
                // One read only: a request split across writes is judged by its first part.
                auto request = UnixSocket::readOnce(waiting[i].fd.get(), 256, 0);
                if (request) server->dispatch(std::move(waiting[i]), std::move(*request));
            } else if (waiting[i].deadline > now) {
                still.push_back(std::move(waiting[i]));
            }
        }
        waiting = std::move(still);
        if (waiters[0].revents == 0) continue;
        UniqueFd connection(::accept4(listener->socket.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (connection)
            server->admit(std::move(connection), waiting);
        else if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED)
            return;
    }
}

void SocketServer::admit(UniqueFd connection, std::vector<Waiting>& waiting) {
    auto peer = platform::peerUid(connection.get());
    if (!peer) {
        onEvent_(peer.error().text);
        writeAll(connection.get(), TARVO_PEER_UNKNOWN "\n");
        return;
    }
    if (*peer != 0 && *peer != ownUid_) {
        onEvent_("rejected connection from uid " + std::to_string(*peer));
        writeAll(connection.get(), TARVO_WRONG_USER "\n");
        return;
    }
    if (*peer != 0 && waiting.size() >= maxWaiting) return;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(requestTimeoutMs);
    waiting.push_back({std::move(connection), *peer, deadline});
}

void SocketServer::dispatch(Waiting&& connection, std::string request) {
    if (connection.peer != 0 && answering_ >= maxAnswering) return;
    ++answering_;
    bool status = Text::trim(Text::decodeLossy(request)) == TARVO_STATUS;
    auto fd = std::make_shared<UniqueFd>(std::move(connection.fd));
    auto serve = [self = shared_from_this(), fd, peer = connection.peer,
                  request = std::move(request)]() mutable {
        std::string reply = self->answer(request, peer);
        writeAll(fd->get(), reply);
        wipe(reply);
        --self->answering_;
    };
    try {
        std::thread(std::move(serve)).detach();
    } catch (const std::system_error& error) {
        // At the process limit: STATUS is answered here, at once; anything
        // that may scan is refused rather than hold up every other peer.
        --answering_;
        onEvent_(std::string("could not answer: ") + error.what());
        if (status)
            writeAll(fd->get(), answer(TARVO_STATUS, connection.peer));
        else
            writeAll(fd->get(), TARVO_BUSY "\n");
    }
}

std::string SocketServer::answer(std::string_view bytes, uid_t peer) {
    std::string request(Text::trim(Text::decodeLossy(bytes)));
    if (request == TARVO_VERIFY) {
        Peer who = peer == 0 ? Peer::root : Peer::user;
        // The locker's own user is named in its lines; root's keep their
        // plain form.
        std::string from = who == Peer::root ? "" : " from uid " + std::to_string(peer);
        std::optional<Match> match = verify_(who);
        if (!match) {
            onEvent_("VERIFY" + from + " -> NO (enrolled face not seen)");
            return TARVO_NOT_SEEN "\n";
        }
        char distance[32];
        std::snprintf(distance, sizeof distance, "%.3f", match->distance);
        if (who == Peer::user) {
            // A process of the user could be anything: it learns the
            // verdict, never the password.
            wipe(match->password);
            onEvent_("VERIFY" + from + " -> OK (distance " + distance + ", face only)");
            return TARVO_OK "\n";
        }
        onEvent_(std::string("VERIFY -> OK (distance ") + distance + ")");
        std::string reply;
        reply.reserve(3 + match->password.size() * 2 + 1);
        reply += TARVO_OK " ";
        appendHex(reply, match->password);
        reply += '\n';
        wipe(match->password);
        return reply;
    }
    if (request == TARVO_STATUS) return isScanning_() ? TARVO_SCANNING "\n" : TARVO_IDLE "\n";
    if (request == TARVO_ACCEPTED) {
        onEvent_(peer == 0 ? "ACCEPTED" : "ACCEPTED from uid " + std::to_string(peer));
        if (onAccepted_) onAccepted_(peer == 0 ? Peer::root : Peer::user);
        return TARVO_NOTED "\n";
    }
    return TARVO_BAD_REQUEST "\n";
}

} // namespace tarvo
