#include "core/store/Log.h"

#include "core/store/Paths.h"
#include "sandbox/Sandbox.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace sb = tarvo::sandbox;

namespace {

std::string readLog() {
    return sb::readFile(tarvo::Paths::log());
}

class LogTest : public testing::Test {
  protected:
    void SetUp() override { std::filesystem::remove(tarvo::Paths::log()); }
};

TEST_F(LogTest, LineFormatUsesLocalTime) {
    ::setenv("TZ", "Europe/Helsinki", 1);
    ::tzset();
    std::tm local{};
    local.tm_year = 124, local.tm_mon = 4, local.tm_mday = 1;
    local.tm_hour = 8, local.tm_min = 15, local.tm_sec = 2, local.tm_isdst = -1;
    auto when = std::chrono::system_clock::from_time_t(std::mktime(&local)) +
                std::chrono::milliseconds(999);
    EXPECT_EQ(tarvo::Log::format(when, "VERIFY -> NO (enrolled face not seen)"),
              "2024-05-01 08:15:02 VERIFY -> NO (enrolled face not seen)\n");
    EXPECT_EQ(tarvo::Log::format(when, "two\nlines"), "2024-05-01 08:15:02 two\nlines\n");
    ::unsetenv("TZ");
    ::tzset();
}

TEST_F(LogTest, AFullLogMovesAsideAndANewOneBegins) {
    std::filesystem::path old = tarvo::Paths::log().string() + ".1";
    std::ofstream(old) << "the oldest lines";
    tarvo::Log::line("almost full");
    std::filesystem::resize_file(tarvo::Paths::log(), tarvo::Log::maxBytes - 10);
    tarvo::Log::line("one line too many");
    EXPECT_EQ(readLog().substr(19), " one line too many\n");
    EXPECT_EQ(std::filesystem::file_size(old), std::uintmax_t(tarvo::Log::maxBytes - 10))
        << "one old log kept, the oldest gone";
}

TEST_F(LogTest, RepeatsWithinASecondBecomeOneLineAndACount) {
    tarvo::Log::Throttle throttle;
    EXPECT_FALSE(throttle.line("socket: VERIFY from uid 4242 -> NO (enrolled face not seen)"));
    EXPECT_TRUE(throttle.line("socket: VERIFY from uid 4242 -> NO (enrolled face not seen)"));
    for (int i = 0; i < 998; ++i)
        EXPECT_FALSE(throttle.line("socket: VERIFY from uid 4242 -> NO (enrolled face not seen)"));
    throttle.line("socket: rejected connection from uid 4343");
    throttle.flush();
    std::string log = readLog();
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 3);
    EXPECT_NE(log.find(" socket: VERIFY from uid 4242 -> NO (enrolled face not seen) (999 more in "
                       "the last second)\n"),
              std::string::npos)
        << log;
}

TEST_F(LogTest, ExistingLogThatCannotBeOpenedIsNeverReplaced) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as a test user";
    auto folder = sb::dataFolder("alice", sb::aliceUid);
    auto log = folder / "tarvo.log";
    std::ofstream(log) << "history\n";
    sb::own(log, sb::aliceUid, sb::aliceUid);
    chmod(log.c_str(), 0400);
    int status = sb::runAs(sb::aliceUid, [] {
        tarvo::Log::line("lost, not replacing");
        return 0;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(sb::readFile(log), "history\n");
}

TEST_F(LogTest, LinesFromManyThreadsNeverInterleave) {
    constexpr int threads = 8, perThread = 300;
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t)
        writers.emplace_back([t] {
            std::string body(200, static_cast<char>('a' + t));
            for (int i = 0; i < perThread; ++i)
                tarvo::Log::line(body);
        });
    for (auto& writer : writers)
        writer.join();
    std::istringstream text(readLog());
    std::string line;
    int count = 0;
    while (std::getline(text, line)) {
        ++count;
        ASSERT_EQ(line.size(), 20u + 200u) << line;
        std::string body = line.substr(20);
        EXPECT_EQ(body, std::string(200, body[0]));
    }
    EXPECT_EQ(count, threads * perThread);
}

} // namespace
