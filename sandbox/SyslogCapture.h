#pragma once

#include <string>
#include <vector>

namespace tarvo::sandbox::SyslogCapture {

struct Entry {
    int facility = 0; // LOG_AUTHPRIV etc., already shifted
    int priority = 0; // LOG_DEBUG etc.
    std::string text; // the message as sent, after the program's name
};

// Moves the process into a mount namespace of its own in which /dev/log is a
// socket this process reads, so what it sends to the system log can be
// checked without touching the machine's log. Needs root; call before any
// thread starts and before anything logs. False when that is not possible.
bool install();

// Everything logged since the last call.
std::vector<Entry> drain();

} // namespace tarvo::sandbox::SyslogCapture
