#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/main_queue.h"

namespace tellwyn {

// A main queue for tests with a virtual clock. post() may be called from any
// thread; everything else from the test's thread, which plays the main
// thread. Nothing runs until the test drives it.
class FakeMainQueue : public MainQueue {
 public:
  void post(std::function<void()> action) override;
  std::shared_ptr<Timer> scheduleTimer(double seconds, std::function<void()> fire) override;

  // Runs posted actions, and the actions they post, until none is left.
  // Timers do not fire. Returns how many ran.
  int runPending();

  // Moves the clock forward by `seconds`, firing each timer that falls due in
  // order of its due time and running posted actions after each step.
  void advance(double seconds);

  double now() const { return now_; }
  // Timers armed and still valid.
  int armedTimerCount() const;
  // The interval of each timer armed so far, in arming order.
  const std::vector<double>& scheduledIntervals() const { return intervals_; }

 private:
  class FakeTimer;
  struct Entry {
    std::shared_ptr<FakeTimer> timer;  // the loop keeps armed timers alive
    std::function<void()> fire;
  };

  std::mutex mutex_;
  std::deque<std::function<void()>> actions_;  // guarded by mutex_
  std::multimap<std::pair<double, std::uint64_t>, Entry> timers_;
  std::uint64_t nextTimerSequence_ = 0;
  std::vector<double> intervals_;
  double now_ = 0;
};

// A thread sleep that only adds up the time asked for.
class FakeSleeper : public Sleeper {
 public:
  void sleepFor(double seconds) override {
    total_ += seconds;
    sleeps_.push_back(seconds);
  }
  double total() const { return total_; }
  const std::vector<double>& sleeps() const { return sleeps_; }

 private:
  double total_ = 0;
  std::vector<double> sleeps_;
};

}  // namespace tellwyn
