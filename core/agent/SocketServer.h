#pragma once

#include "core/base/UniqueFd.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace tarvo {

// The agent's end of "agent.sock": decides who may ask what, calls back into
// its owner for the answer and formats the reply. One thread accepts and
// waits for every connection's request at once; each request is then
// answered on a thread of its own, so a scan or a stalled peer never holds
// up another peer's request.
class SocketServer : public std::enable_shared_from_this<SocketServer> {
  public:
    struct Match {
        float distance = 0;
        std::string password;
    };

    class ServerError : public std::runtime_error {
      public:
        using std::runtime_error::runtime_error;
        static ServerError bindFailed(const std::string& reason) {
            return ServerError("socket bind failed: " + reason);
        }
        // The user's runtime folder, which a login makes, isn't there.
        static ServerError noRuntimeFolder(const std::string& folder) {
            return ServerError("the agent's socket goes in " + folder +
                               ", which is missing: no login of this user's made it. Log in, "
                               "or let the user's services run without a login (loginctl "
                               "enable-linger).");
        }
    };

    // Who asks VERIFY: the lock screen running PAM as root (a display
    // manager), which gets the password, or a locker running as the agent's
    // own user, which gets the verdict alone.
    enum class Peer { root, user };

    using Verify = std::function<std::optional<Match>(Peer)>;
    using IsScanning = std::function<bool()>;
    using OnEvent = std::function<void(const std::string&)>;
    // ACCEPTED: the lock screen's stack let the user in without the face
    // (a typed password), as the module says once the stack succeeded.
    using OnAccepted = std::function<void(Peer)>;

    // How long a permitted peer may take to send its request after
    // connecting. The PAM module writes at once; a peer that stalls longer
    // must not hold the lock screen's VERIFY queued behind it.
    static constexpr int requestTimeoutMs = 500;
    // Connections waiting for their request, and requests being answered,
    // from peers other than root; past these a new one is closed unanswered.
    // Root is always served, so a flood of the user's own can't lock it out.
    static constexpr size_t maxWaiting = 256;
    static constexpr size_t maxAnswering = 16;

    static std::shared_ptr<SocketServer> create(std::string path, Verify verify,
                                                IsScanning isScanning, OnEvent onEvent,
                                                OnAccepted onAccepted = {});
    ~SocketServer();

    // Binds, listens and starts the accept thread; throws ServerError.
    void start();
    // Stops listening and removes the socket file (always). The accept
    // thread ends by itself once any request it is serving is answered.
    void stop();

    const std::string& path() const { return path_; }

    // The reply to one request from a peer allowed to send one (root or this
    // process's user); reports events before it returns.
    std::string answer(std::string_view request, uid_t peer);

  private:
    struct Listener;
    struct Waiting;

    SocketServer(std::string path, Verify verify, IsScanning isScanning, OnEvent onEvent,
                 OnAccepted onAccepted);
    static void acceptLoop(std::shared_ptr<Listener> listener, std::weak_ptr<SocketServer> owner);
    // A new connection: refused at once, or kept waiting for its request.
    void admit(UniqueFd connection, std::vector<Waiting>& waiting);
    // Answers a request that arrived, on a thread of its own.
    void dispatch(Waiting&& connection, std::string request);

    Verify verify_;
    IsScanning isScanning_;
    std::string path_;
    std::atomic<int> listenFD_{-1};
    std::mutex lifecycle_;
    std::shared_ptr<Listener> listener_;
    OnEvent onEvent_;
    OnAccepted onAccepted_;
    uid_t ownUid_;
    std::atomic<size_t> answering_{0};
};

} // namespace tarvo
