#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace tarvo {

// Work run one item at a time, in order of due time, on a thread of its own:
// the agent's control queue. Dropping the queue runs nothing more; work
// already running finishes on its thread.
class SerialQueue {
  public:
    using Clock = std::chrono::steady_clock;
    using Work = std::function<void()>;

    // A repeating item; it fires no more once cancelled.
    class Timer {
      public:
        virtual ~Timer() = default;
        virtual void cancel() = 0;
    };

    // `name` names the thread for ps, top and gdb (15 bytes at most are kept).
    explicit SerialQueue(const std::string& name);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void async(Work work) { after(Clock::duration::zero(), std::move(work)); }
    void after(Clock::duration delay, Work work);
    // Fires first after `first`, then every `interval`; late firings are not
    // caught up.
    std::shared_ptr<Timer> repeating(Clock::duration first, Clock::duration interval, Work work);
    // Whether the caller runs on this queue's thread.
    bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

  private:
    struct State;
    struct Entry;
    class RepeatingTimer;

    static void run(std::shared_ptr<State> state);
    void schedule(Clock::time_point due, std::shared_ptr<Entry> entry);

    std::shared_ptr<State> state_;
    std::thread thread_;
};

} // namespace tarvo
