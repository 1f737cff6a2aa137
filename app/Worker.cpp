#include "app/Worker.h"

#include <QCoreApplication>
#include <condition_variable>
#include <cstdint>
#include <stdexcept>
#include <sys/eventfd.h>
#include <unistd.h>

namespace tarvo::app {
namespace {

struct Counter {
    std::mutex lock;
    std::condition_variable idle;
    int count = 0;
};

// Never destroyed: work may end during the process's exit.
Counter& inFlight() {
    static auto* counter = new Counter;
    return *counter;
}

void waitUntilNoneInFlight() {
    auto& counter = inFlight();
    std::unique_lock guard(counter.lock);
    counter.idle.wait(guard, [&] { return counter.count == 0; });
}

} // namespace

InFlight::InFlight() {
    static bool registered = (qAddPostRoutine(waitUntilNoneInFlight), true);
    (void)registered;
    std::lock_guard guard(inFlight().lock);
    ++inFlight().count;
}

InFlight::~InFlight() {
    auto& counter = inFlight();
    std::lock_guard guard(counter.lock);
    if (--counter.count == 0) counter.idle.notify_all();
}

Mailbox::Mailbox(QObject* owner) : event_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!event_) throw std::runtime_error("eventfd failed");
    notifier_ = std::make_unique<QSocketNotifier>(event_.get(), QSocketNotifier::Read, owner);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, owner, [this] { deliver(); });
}

Mailbox::~Mailbox() = default;

void Mailbox::post(std::function<void()> delivery) {
    std::lock_guard guard(lock_);
    if (!open_) return;
    pending_.push_back(std::move(delivery));
    std::uint64_t one = 1;
    (void)!::write(event_.get(), &one, sizeof one);
}

void Mailbox::close() {
    {
        std::lock_guard guard(lock_);
        open_ = false;
        pending_.clear();
    }
    // Possibly from within the notifier's own signal.
    if (notifier_) notifier_.release()->deleteLater();
}

void Mailbox::deliver() {
    auto self = shared_from_this(); // a delivery may drop the owner, and with it the mailbox
    std::uint64_t count = 0;
    (void)!::read(event_.get(), &count, sizeof count);
    std::deque<std::function<void()>> ready;
    {
        std::lock_guard guard(lock_);
        ready.swap(pending_);
    }
    // A delivery may close the mailbox (its owner going away); the rest
    // are dropped then.
    for (auto& delivery : ready) {
        {
            std::lock_guard guard(lock_);
            if (!open_) return;
        }
        delivery();
    }
}

Worker::~Worker() {
    mailbox_->close();
    // The queue ends itself after the items already given: its last item
    // drops it on its own thread, which then leaves.
    auto holder = std::make_shared<std::unique_ptr<SerialQueue>>(std::move(queue_));
    (*holder)->async([holder] { holder->reset(); });
}

} // namespace tarvo::app
