#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <string_view>

namespace tarvo::Log {

// Also write every line to standard output; a host that wants the lines on
// its terminal sets this before logging.
extern std::atomic<bool> echoToStdout;

// Appends "yyyy-MM-dd HH:mm:ss message\n" (local time) to "tarvo.log" in the
// per-user folder. Never fails towards the caller; whole lines never
// interleave across threads.
void line(std::string_view message);

// The text `line` writes for a message at a moment.
std::string format(std::chrono::system_clock::time_point when, std::string_view message);

} // namespace tarvo::Log
