#include "app/Interrupts.h"

#include <csignal>
#include <sys/signalfd.h>
#include <unistd.h>

namespace tarvo::app {
namespace {

sigset_t interrupts() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

} // namespace

void blockInterrupts() {
    auto set = interrupts();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

Interrupts::Interrupts(std::function<void()> onInterrupt) : onInterrupt_(std::move(onInterrupt)) {
    auto set = interrupts();
    fd_ = UniqueFd(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
    notifier_ = std::make_unique<QSocketNotifier>(fd_.get(), QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] {
        signalfd_siginfo info{};
        while (::read(fd_.get(), &info, sizeof info) == sizeof info) {
        }
        onInterrupt_();
    });
}

Interrupts::~Interrupts() = default;

} // namespace tarvo::app
