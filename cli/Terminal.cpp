#include "cli/Terminal.h"

#include <cstdio>
#include <termios.h>
#include <unistd.h>

namespace tarvo::cli {

bool isTerminal(int fd) {
    return ::isatty(fd) == 1;
}

std::optional<std::string> readSecretLine(const char* prompt) {
    bool terminal = isTerminal(STDIN_FILENO);
    termios saved{};
    if (terminal) {
        std::fprintf(stderr, "%s", prompt);
        std::fflush(stderr);
        tcgetattr(STDIN_FILENO, &saved);
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    // Byte by byte into storage reserved once, so that no copy of the
    // secret is left behind in a stream's buffer or a reallocation.
    std::string line;
    line.reserve(4096);
    bool got = false;
    char c = 0;
    while (line.size() < line.capacity() && ::read(STDIN_FILENO, &c, 1) == 1) {
        got = true;
        if (c == '\n') break;
        line.push_back(c);
    }
    c = 0;
    if (terminal) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fprintf(stderr, "\n");
    }
    if (!got) return std::nullopt;
    return line;
}

} // namespace tarvo::cli
