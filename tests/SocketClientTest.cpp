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

} // namespace
