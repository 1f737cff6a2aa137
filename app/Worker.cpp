#include "app/Worker.h"

#include <QCoreApplication>
#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <stdexcept>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

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

// Queues of dropped workers. Each finishes the items it was given on its
// own thread and is joined once done, at the latest when the application
// ends: a thread still running while the process exits races what exit
// tears down (OpenSSL's per-thread and global state, the face models).
struct Retired {
    std::mutex lock;
    std::condition_variable finished;
    std::vector<std::pair<std::unique_ptr<SerialQueue>, std::shared_ptr<bool>>> queues;
};

void reap(bool all);

// Never destroyed, as the counter above. The application's end waits for
// every retired queue.
Retired& retired() {
    static auto* queues = [] {
        qAddPostRoutine([] { reap(true); });
        return new Retired;
    }();
    return *queues;
}

// Joins the retired queues that are done; with `all`, waits for every one.
void reap(bool all) {
    auto& r = retired();
    std::vector<std::unique_ptr<SerialQueue>> done;
    {
        std::unique_lock guard(r.lock);
        if (all)
            r.finished.wait(guard, [&] {
                return std::all_of(r.queues.begin(), r.queues.end(),
                                   [](const auto& queue) { return *queue.second; });
            });
        for (auto it = r.queues.begin(); it != r.queues.end();)
            if (*it->second) {
                done.push_back(std::move(it->first));
                it = r.queues.erase(it);
            } else {
                ++it;
            }
    }
    done.clear(); // joins their idle threads, outside the lock
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
    retire();
}

void Worker::handedOver() {
    if (--pending_ == 0) retire();
}

// The queue runs the items already given, then says it is done; it is
// joined later (right after, while the mailbox is open), so that neither
// dropping a worker nor its last result ever waits for a thread.
void Worker::retire() {
    reap(false);
    if (!queue_) return;
    auto done = std::make_shared<bool>(false);
    queue_->async([done, mailbox = mailbox_] {
        {
            std::lock_guard guard(retired().lock);
            *done = true;
            retired().finished.notify_all();
        }
        mailbox->post([] { reap(false); });
    });
    std::lock_guard guard(retired().lock);
    retired().queues.emplace_back(std::move(queue_), done);
}

} // namespace tarvo::app
