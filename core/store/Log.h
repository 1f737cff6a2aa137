#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace tarvo::Log {

// Also write every line to standard error; a host that wants the lines on
// its terminal sets this before logging.
extern std::atomic<bool> echoToStderr;

// Appends "yyyy-MM-dd HH:mm:ss message\n" (local time) to "tarvo.log" in the
// per-user folder. Never fails towards the caller; whole lines never
// interleave across threads. A log that reaches maxBytes moves to
// "tarvo.log.1" (replacing the one there) and a new one begins.
void line(std::string_view message);
inline constexpr std::int64_t maxBytes = 10 << 20;

// Repeats of one message within a second become one line and a count, so a
// flood of requests can't fill the disk through the log.
class Throttle {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration window = std::chrono::seconds(1);

    // Logs `message`, unless the same one was logged less than a window
    // ago: then it is only counted. True when this is the first one counted
    // since the message was logged, so the caller can schedule flush().
    bool line(const std::string& message);
    // For each message counted and not yet reported: "message (N more in
    // the last second)".
    void flush();

  private:
    struct Seen {
        Clock::time_point loggedAt;
        std::int64_t counted = 0;
    };
    std::mutex lock_;
    std::map<std::string, Seen> seen_;
};

// The text `line` writes for a message at a moment.
std::string format(std::chrono::system_clock::time_point when, std::string_view message);

} // namespace tarvo::Log
