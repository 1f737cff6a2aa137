#pragma once

#include "core/agent/SerialQueue.h"
#include "core/base/UniqueFd.h"

#include <QObject>
#include <QSocketNotifier>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>

namespace tarvo::app {

// Hands what other threads did back to the thread of a QObject. The
// hand-over goes through a mutex and an eventfd rather than Qt's event
// queue, whose locks ThreadSanitizer can't see into.
class Mailbox : public std::enable_shared_from_this<Mailbox> {
  public:
    // On the owner's thread; always owned through a shared_ptr.
    explicit Mailbox(QObject* owner);
    ~Mailbox();
    Mailbox(const Mailbox&) = delete;
    Mailbox& operator=(const Mailbox&) = delete;

    // From any thread: `delivery` runs on the owner's thread, unless the
    // mailbox was closed first.
    void post(std::function<void()> delivery);
    // On the owner's thread: nothing more is delivered.
    void close();

  private:
    void deliver();

    std::mutex lock_;
    std::deque<std::function<void()>> pending_;
    bool open_ = true;
    UniqueFd event_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

// A piece of work in flight on some thread of the application's. When the
// application object goes, it waits until none is left: the face models
// are static objects, destroyed after it, and must outlive the work.
class InFlight {
  public:
    InFlight();
    ~InFlight();
    InFlight(const InFlight&) = delete;
    InFlight& operator=(const InFlight&) = delete;
};

// Work off the owner's thread, one item at a time in order, each result
// handed to the owner's thread. Its thread runs only while there is work:
// it starts with the first item and goes once the last result is handed
// over. Items own what they work on: dropping the worker doesn't wait for
// them, and nothing more is delivered; the application's end waits for them
// and for their thread.
class Worker {
  public:
    Worker(QObject* owner, std::string label)
        : mailbox_(std::make_shared<Mailbox>(owner)), label_(std::move(label)) {}
    ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    template <typename Work, typename Done> void run(Work work, Done done) {
        if (!queue_) queue_ = std::make_unique<SerialQueue>(label_);
        ++pending_;
        // The result is handed over after the count: `done` may drop the
        // worker, or give it more.
        queue_->async(
            [this, mailbox = mailbox_, work = std::move(work), done = std::move(done)]() mutable {
                if constexpr (std::is_void_v<decltype(work())>) {
                    work();
                    mailbox->post([this, done] {
                        handedOver();
                        done();
                    });
                } else {
                    auto value = std::make_shared<decltype(work())>(work());
                    mailbox->post([this, done, value] {
                        handedOver();
                        done(*value);
                    });
                }
            });
    }

  private:
    void handedOver();
    void retire();

    std::shared_ptr<Mailbox> mailbox_;
    std::string label_;
    std::unique_ptr<SerialQueue> queue_; // while there is work
    int pending_ = 0;
};

} // namespace tarvo::app
