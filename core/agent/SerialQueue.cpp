#include "core/agent/SerialQueue.h"

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <pthread.h>
#include <utility>

namespace tarvo {

struct SerialQueue::Entry {
    Work work;
    Clock::duration interval = Clock::duration::zero(); // zero: runs once
    std::atomic<bool> cancelled{false};
};

struct SerialQueue::State {
    std::mutex lock;
    std::condition_variable changed;
    // Keyed by due time, then by order of scheduling.
    std::map<std::pair<Clock::time_point, std::uint64_t>, std::shared_ptr<Entry>> entries;
    std::uint64_t scheduled = 0;
    bool stopping = false;

    void add(Clock::time_point due, std::shared_ptr<Entry> entry) {
        entries.emplace(std::make_pair(due, scheduled++), std::move(entry));
        changed.notify_one();
    }
};

class SerialQueue::RepeatingTimer : public Timer {
  public:
    explicit RepeatingTimer(std::shared_ptr<Entry> entry) : entry_(std::move(entry)) {}
    void cancel() override { entry_->cancelled = true; }

  private:
    std::shared_ptr<Entry> entry_;
};

SerialQueue::SerialQueue(const std::string& name)
    : state_(std::make_shared<State>()), thread_(run, state_) {
    ::pthread_setname_np(thread_.native_handle(), name.substr(0, 15).c_str());
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard guard(state_->lock);
        state_->stopping = true;
        state_->entries.clear();
    }
    state_->changed.notify_one();
    // The queue's own work may drop the last reference to its owner; the
    // thread then ends by itself once that work returns.
    if (isCurrent())
        thread_.detach();
    else
        thread_.join();
}

void SerialQueue::after(Clock::duration delay, Work work) {
    auto entry = std::make_shared<Entry>();
    entry->work = std::move(work);
    schedule(Clock::now() + delay, std::move(entry));
}

std::shared_ptr<SerialQueue::Timer> SerialQueue::repeating(Clock::duration first,
                                                           Clock::duration interval, Work work) {
    auto entry = std::make_shared<Entry>();
    entry->work = std::move(work);
    entry->interval = interval;
    schedule(Clock::now() + first, entry);
    return std::make_shared<RepeatingTimer>(std::move(entry));
}

void SerialQueue::schedule(Clock::time_point due, std::shared_ptr<Entry> entry) {
    std::lock_guard guard(state_->lock);
    if (!state_->stopping) state_->add(due, std::move(entry));
}

void SerialQueue::run(std::shared_ptr<State> state) {
    std::unique_lock guard(state->lock);
    while (!state->stopping) {
        if (state->entries.empty()) {
            state->changed.wait(guard);
            continue;
        }
        auto first = state->entries.begin();
        auto due = first->first.first;
        if (Clock::now() < due) {
            state->changed.wait_until(guard, due);
            continue;
        }
        auto entry = std::move(first->second);
        state->entries.erase(first);
        if (entry->cancelled) continue;
        guard.unlock();
        entry->work();
        guard.lock();
        if (entry->interval > Clock::duration::zero() && !entry->cancelled && !state->stopping) {
            auto next = std::max(due + entry->interval, Clock::now());
            state->add(next, std::move(entry));
        }
    }
}

} // namespace tarvo
