#include "core/agent/SocketClient.h"

#include "core/agent/SocketServer.h"
#include "core/agent/UnixSocket.h"
#include "core/store/Paths.h"
#include "sandbox/Sandbox.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/socket.h>

using namespace std::chrono_literals;
namespace sb = tarvo::sandbox;
using tarvo::SocketClient::request;

namespace {

TEST(SocketClientTest, NothingWhenNoAgentAnswers) {
    std::filesystem::remove(tarvo::Paths::socket());
    EXPECT_FALSE(tarvo::SocketClient::agentIsRunning()) << "no file";

    // A socket file that nothing listens on.
    auto addr = tarvo::UnixSocket::address(tarvo::Paths::socket().string());
    tarvo::UniqueFd bound = tarvo::UnixSocket::create();
    ASSERT_EQ(bind(bound.get(), reinterpret_cast<sockaddr*>(&*addr), sizeof *addr), 0);
    EXPECT_FALSE(tarvo::SocketClient::agentIsRunning()) << "not listening";

    // Listening, but never answering: the one-second limit ends the wait.
    ASSERT_EQ(listen(bound.get(), 4), 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(tarvo::SocketClient::agentIsRunning()) << "no reply";
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 900ms);
    EXPECT_LT(waited, 3s);
    std::filesystem::remove(tarvo::Paths::socket());
}

TEST(SocketClientTest, SubSecondTimeoutStillBounds) {
    auto path = (sb::root() / "mute.sock").string();
    std::filesystem::remove(path);
    auto addr = tarvo::UnixSocket::address(path);
    tarvo::UniqueFd mute = tarvo::UnixSocket::create();
    ASSERT_EQ(bind(mute.get(), reinterpret_cast<sockaddr*>(&*addr), sizeof *addr), 0);
    ASSERT_EQ(listen(mute.get(), 4), 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(request("STATUS", path, 0.2), std::nullopt);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST(SocketClientTest, AgentIsRunningOnAnyReply) {
    auto server = tarvo::SocketServer::create(
        tarvo::Paths::socket().string(), [](auto) { return std::nullopt; }, [] { return false; },
        [](const std::string&) {});
    server->start();
    EXPECT_TRUE(tarvo::SocketClient::agentIsRunning());
    server->stop();
    EXPECT_FALSE(tarvo::SocketClient::agentIsRunning());
}

} // namespace
