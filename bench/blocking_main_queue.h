#pragma once

// A main queue for the benchmarks that drive a recognizer from their own
// thread: posted actions wait until that thread runs them with runOne().
// post() from any thread; runOne() from the one thread acting as the main
// thread. Timers are not supported.

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/main_queue.h"

namespace tellwyn::bench {

class BlockingMainQueue : public MainQueue {
 public:
  void post(std::function<void()> action) override {
    {
      std::lock_guard lock(mutex_);
      actions_.push_back(std::move(action));
    }
    ready_.notify_one();
  }
  std::shared_ptr<Timer> scheduleTimer(double, std::function<void()>) override { return nullptr; }
  // Waits for the next action and runs it.
  void runOne() {
    std::function<void()> action;
    {
      std::unique_lock lock(mutex_);
      ready_.wait(lock, [&] { return !actions_.empty(); });
      action = std::move(actions_.front());
      actions_.pop_front();
    }
    action();
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> actions_;
};

}  // namespace tellwyn::bench
