// The module's reply reading and decoding, on their own.
extern "C" {
#include "protocol/agent_protocol.h"
#include "reply.h"
}

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

std::string decode(const std::string& hex, bool* ok = nullptr) {
    char out[PASSWORD_SIZE];
    int result = hex_decode(hex.c_str(), out);
    if (ok) *ok = result == 1;
    return result ? std::string(out) : "<fail>";
}

TEST(HexDecode, PairsOfDigitsInEitherCase) {
    EXPECT_EQ(decode(""), "");
    EXPECT_EQ(decode("616263"), "abc");
    EXPECT_EQ(decode("4A4b"), "JK");
    EXPECT_EQ(decode("616"), "<fail>");
    EXPECT_EQ(decode("6g"), "<fail>");
    EXPECT_EQ(decode(" 6"), "<fail>");
    EXPECT_EQ(decode("+6"), "<fail>");
    EXPECT_EQ(decode(std::string(1022, 'a')), std::string(511, '\xaa'));
    EXPECT_EQ(decode(std::string(1024, 'a')), "<fail>");
}

TEST(ReplyVouch, OnlyTheTwoExactFormsVouch) {
    char out[PASSWORD_SIZE];
    EXPECT_EQ(reply_vouch("OK 616263", out), VOUCH_PASSWORD);
    EXPECT_STREQ(out, "abc");
    EXPECT_EQ(reply_vouch("OK", out), VOUCH_FACE);
    EXPECT_EQ(reply_vouch("OK ", out), VOUCH_FACE);
    for (const char* reply : {"OKAY", "OK zz", "OK 61626", "OK 610062", "OK61", "OK  6162",
                              "OK\t6162", "ok 6162", "OK 6162 ", "NO 6162", ""}) {
        memset(out, 'x', sizeof out);
        EXPECT_EQ(reply_vouch(reply, out), VOUCH_NONE) << reply;
        EXPECT_STREQ(out, "") << reply;
    }
}

// Feeds bytes through a real socket pair, then hangs up.
int readLine(const std::string& sent, std::string& line) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return -2;
    (void)!write(pair[1], sent.data(), sent.size());
    close(pair[1]);
    char buffer[REPLY_SIZE];
    int result = read_line_before(pair[0], buffer, monotonic_ms() + TARVO_REPLY_TIMEOUT_MS);
    close(pair[0]);
    line = buffer;
    return result;
}

TEST(ReadLine, OnlyAWholeLineCounts) {
    std::string line;
    EXPECT_EQ(readLine("NO not-seen\n", line), 11);
    EXPECT_EQ(line, "NO not-seen");
    EXPECT_EQ(readLine("OK 61\nmore\n", line), 5);
    EXPECT_EQ(line, "OK 61");
    EXPECT_EQ(readLine("OK 61", line), -1) << "cut off by the end of the stream";
    EXPECT_EQ(readLine("\n", line), 0);
    EXPECT_EQ(readLine("", line), -1);
    EXPECT_EQ(readLine(std::string(1031, 'a'), line), -1) << "full buffer without a feed";
    EXPECT_EQ(readLine(std::string(1030, 'a') + "\n", line), 1030);
    EXPECT_EQ(readLine(std::string(2000, 'a'), line), -1);
}

TEST(ReadLine, AReplyThatTricklesInEndsAtTheOneDeadline) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    std::atomic<bool> done{false};
    std::thread trickle([&] {
        while (!done && write(pair[1], "O", 1) == 1)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    });
    char buffer[REPLY_SIZE];
    long long deadline = monotonic_ms() + 300;
    EXPECT_EQ(read_line_before(pair[0], buffer, deadline), -1);
    EXPECT_GE(monotonic_ms(), deadline);
    EXPECT_LT(monotonic_ms(), deadline + 200) << "each byte must not start a fresh wait";
    done = true;
    close(pair[0]);
    trickle.join();
    close(pair[1]);
}

} // namespace
