#pragma once

#include "core/base/UniqueFd.h"

#include <QSocketNotifier>
#include <functional>
#include <memory>

// SIGINT and SIGTERM as events of the main loop, so that a program hosting
// the agent stops it cleanly (its socket removed, the camera released)
// when the terminal or the session ends it. blockInterrupts() must run
// first thing in main, before any thread starts, so that every thread
// leaves them to the loop.
namespace tarvo::app {

void blockInterrupts();

class Interrupts {
  public:
    explicit Interrupts(std::function<void()> onInterrupt);
    ~Interrupts();
    Interrupts(const Interrupts&) = delete;
    Interrupts& operator=(const Interrupts&) = delete;

  private:
    UniqueFd fd_; // before the notifier that watches it, so it closes after
    std::unique_ptr<QSocketNotifier> notifier_;
    std::function<void()> onInterrupt_;
};

} // namespace tarvo::app
