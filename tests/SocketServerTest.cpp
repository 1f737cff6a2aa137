#include "core/agent/SocketServer.h"

#include "core/agent/SocketClient.h"
#include "core/agent/UnixSocket.h"
#include "sandbox/AgentProcess.h"
#include "sandbox/Sandbox.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using tarvo::SocketServer;
namespace sb = tarvo::sandbox;
using namespace std::chrono_literals;

namespace {

// A client that sends its request in pieces and returns every byte of the
// reply up to the server's close; nothing when it can't connect.
std::optional<std::string> talk(const std::string& path, std::vector<std::string> pieces,
                                std::chrono::milliseconds gap = 0ms) {
    tarvo::UniqueFd fd = sb::connectedTo(path);
    if (!fd) return std::nullopt;
    for (const auto& piece : pieces) {
        tarvo::writeAll(fd.get(), piece);
        std::this_thread::sleep_for(gap);
    }
    std::string reply;
    while (auto chunk = tarvo::UnixSocket::readOnce(fd.get(), 4096, 5000))
        reply += *chunk;
    return reply;
}

std::filesystem::path freshDir(const std::string& name) {
    auto dir = sb::root() / name;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

class SocketServerTest : public testing::Test {
  protected:
    void SetUp() override { path = (freshDir("server") / "agent.sock").string(); }
    void TearDown() override {
        if (server) server->stop();
    }

    void startServer(std::optional<SocketServer::Match> match) {
        startServer([match](SocketServer::Peer) { return match; });
    }
    void startServer(SocketServer::Verify verify) {
        server = SocketServer::create(
            path, std::move(verify), [this] { return scanning.load(); },
            [this](const std::string& event) {
                std::lock_guard guard(lock);
                events.push_back(event);
            });
        server->start();
    }
    std::vector<std::string> takeEvents() {
        std::lock_guard guard(lock);
        return std::exchange(events, {});
    }

    std::string path;
    std::shared_ptr<SocketServer> server;
    std::atomic<bool> scanning{false};
    std::mutex lock;
    std::vector<std::string> events;
};

TEST_F(SocketServerTest, AnswersRootByRequest) {
    startServer(SocketServer::Match{0.25f, "hunter2!"});
    EXPECT_EQ(talk(path, {"VERIFY\n"}), "OK 68756e7465723221\n");
    EXPECT_EQ(talk(path, {"VERIFY\r\n"})->size(), 20u);
    EXPECT_EQ(talk(path, {"VERIFY"})->size(), 20u);
    EXPECT_EQ(talk(path, {" \t STATUS \r\n"}), "IDLE\n");
    EXPECT_EQ(talk(path, {"status\n"}), "NO bad-request\n");
    EXPECT_EQ(talk(path, {"\xC2\xA0VERIFY\xE2\x80\xA8"})->substr(0, 3), "OK ");
    EXPECT_EQ(talk(path, {"VERIFY\xFF\n"}), "NO bad-request\n");
    auto events = takeEvents();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0], "VERIFY -> OK (distance 0.250)");
}

TEST_F(SocketServerTest, NotSeenAndEmptyPassword) {
    startServer(std::nullopt);
    EXPECT_EQ(talk(path, {"VERIFY\n"}), "NO not-seen\n");
    EXPECT_EQ(takeEvents(), std::vector<std::string>{"VERIFY -> NO (enrolled face not seen)"});
    server->stop();
    startServer(SocketServer::Match{0.5f, ""});
    EXPECT_EQ(talk(path, {"VERIFY\n"}), "OK \n");
}

TEST_F(SocketServerTest, RequestSplitAcrossWritesIsJudgedByItsFirstPart) {
    startServer(SocketServer::Match{0.1f, "x"});
    EXPECT_EQ(talk(path, {"VER", "IFY\n"}, 100ms), "NO bad-request\n");
}

// Whether the server still holds the connection open (no reply, no close).
bool heldOpen(int fd) {
    char byte;
    return recv(fd, &byte, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN;
}

TEST_F(SocketServerTest, StalledPeersDelayNobody) {
    startServer(SocketServer::Match{0.1f, "pw"});
    EXPECT_EQ(talk(path, {}), "") << "closes without writing: no reply";
    std::vector<tarvo::UniqueFd> stalled;
    for (int i = 0; i < 64; ++i)
        stalled.push_back(sb::connectedTo(path));
    EXPECT_EQ(talk(path, {"VERIFY\n"}), "OK 7077\n");
    // Answered while every stalled peer was still waiting for its deadline.
    for (auto& fd : stalled)
        EXPECT_TRUE(heldOpen(fd.get()));
    char byte;
    EXPECT_EQ(read(stalled.front().get(), &byte, 1), 0) << "closed at its deadline, unanswered";
}

TEST_F(SocketServerTest, StaleFileDoesNotBlockStartAndStopRemovesSocket) {
    std::ofstream(path) << "left by a crashed agent";
    startServer(std::nullopt);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    server->stop();
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(talk(path, {"STATUS\n"}), std::nullopt);
    // A second server on the same path, then the first one dropped
    // without stop: the destructor stops it and the file goes.
    startServer(std::nullopt);
    server.reset();
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(SocketServerTest, BindFailuresCarryTheirReason) {
    // 103 bytes bind; 104 do not.
    auto base = (sb::root() / "len").string();
    std::filesystem::create_directories(base);
    std::string fits = base + "/" + std::string(103 - base.size() - 1, 's');
    std::string tooLong = fits + "t";
    ASSERT_EQ(fits.size(), 103u);
    auto error = sb::thrown<SocketServer::ServerError>(
        [&] { SocketServer::create(tooLong, {}, {}, {})->start(); });
    ASSERT_TRUE(error) << "started on a 104-byte path";
    EXPECT_STREQ(error->what(), "socket bind failed: socket path too long");
    EXPECT_EQ(tarvo::SocketClient::request("STATUS", tooLong, 1), std::nullopt);

    auto fitting = SocketServer::create(fits, {}, [] { return false; }, {});
    fitting->start();
    EXPECT_EQ(tarvo::SocketClient::request("STATUS", fits, 1), "IDLE");
    fitting->stop();

    auto missing =
        SocketServer::create((sb::root() / "no/such/dir/agent.sock").string(), {}, {}, {});
    EXPECT_THROW(missing->start(), SocketServer::ServerError);
}

// The agent runs as alice; the lock screen as root; bob is someone else.
class SocketPeersTest : public testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root to act as the test users";
        auto dir = freshDir("peers");
        sb::own(dir, sb::aliceUid, sb::aliceUid);
        chmod(dir.c_str(), 0755);
        path = (dir / "agent.sock").string();
        agent.emplace(sb::aliceUid, path, SocketServer::Match{0.3f, "pw"});
        // Let bob reach the socket, so the server's own check is what stops him.
        chmod(path.c_str(), 0666);
    }
    void TearDown() override {
        if (agent) {
            EXPECT_EQ(agent->stop(), 0);
        }
    }

    std::string readEvent() { return agent->nextEvent(); }
    // The reply that a client running as `uid` receives.
    std::string askAs(uid_t uid, const std::string& request) {
        return sb::outputAs(uid, [&] { return talk(path, {request}).value_or("no connection"); });
    }

    std::string path;
    std::optional<sb::AgentProcess> agent;
};

TEST_F(SocketPeersTest, RootGetsThePasswordTheUserTheVerdictAlone) {
    EXPECT_EQ(askAs(0, "VERIFY\n"), "OK 7077\n");
    EXPECT_EQ(readEvent(), "VERIFY -> OK (distance 0.300)");
    EXPECT_EQ(askAs(sb::aliceUid, "VERIFY\n"), "OK\n");
    EXPECT_EQ(readEvent(), "VERIFY from uid 4242 -> OK (distance 0.300, face only)");
    EXPECT_EQ(askAs(sb::aliceUid, "STATUS\n"), "IDLE\n");
}

TEST_F(SocketPeersTest, OtherUsersAreRejectedUnread) {
    EXPECT_EQ(askAs(sb::bobUid, "VERIFY\n"), "NO wrong-user\n");
    EXPECT_EQ(readEvent(), "rejected connection from uid 4343");
    EXPECT_EQ(askAs(sb::bobUid, "STATUS\n"), "NO wrong-user\n");
    EXPECT_EQ(askAs(0, "STATUS\n"), "IDLE\n");
}

// At the user's process limit no request gets a thread of its own: STATUS
// is still answered, a VERIFY refused, and the agent lives on.
TEST_F(SocketPeersTest, WithoutThreadsStatusIsAnsweredAndVerifyRefused) {
    agent.reset();
    agent.emplace(sb::aliceUid, path, SocketServer::Match{0.3f, "pw"}, /*atProcessLimit=*/true);
    EXPECT_EQ(askAs(0, "STATUS\n"), "IDLE\n");
    EXPECT_EQ(readEvent(), "could not answer: Resource temporarily unavailable");
    EXPECT_EQ(askAs(0, "VERIFY\n"), "NO busy\n");
    EXPECT_EQ(askAs(sb::aliceUid, "STATUS\n"), "IDLE\n");
}

// A client's sub-second limit still bounds its wait on a server that never answers.
TEST(SocketClientTest, SubSecondTimeoutStillBounds) {
    auto path = (sb::root() / "mute.sock").string();
    tarvo::UniqueFd mute = sb::boundSocket(path, geteuid());
    ASSERT_EQ(listen(mute.get(), 4), 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(tarvo::SocketClient::request("STATUS", path, 0.2), std::nullopt);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

} // namespace
