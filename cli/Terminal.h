#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <functional>
#include <memory>
#include <optional>
#include <string>

// What tarvoctl needs of the terminal.
namespace tarvo::cli {

// SIGINT and SIGTERM as events of the main loop. blockInterrupts() must run
// first thing in main, before any thread starts, so that every thread
// leaves them to the loop.
void blockInterrupts();
class Interrupts {
  public:
    explicit Interrupts(std::function<void()> onInterrupt);
    ~Interrupts();

  private:
    int fd_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::function<void()> onInterrupt_;
};

// A line from the terminal with echo off, or from standard input when it
// isn't a terminal; nothing at end of input. The caller wipes it.
std::optional<std::string> readSecretLine(const char* prompt);
bool isTerminal(int fd);

} // namespace tarvo::cli
