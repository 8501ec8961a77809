#pragma once

#include <functional>
#include <memory>

namespace tellwyn {

// A one-shot timer armed on the main queue. invalidate() and isValid() are
// main-thread only. Once fired or invalidated the timer stays idle for good.
class Timer {
 public:
  virtual ~Timer() = default;
  virtual void invalidate() = 0;
  virtual bool isValid() const = 0;
};

// The main thread's queue of actions and timers. Actions and timer callbacks
// run one at a time, in order, on the main thread.
class MainQueue {
 public:
  virtual ~MainQueue() = default;

  // Queues `action` to run later on the main thread. Any thread may call it.
  virtual void post(std::function<void()> action) = 0;

  // Arms a one-shot timer that calls `fire` on the main thread once `seconds`
  // have passed, unless it is invalidated first. An infinite interval never
  // fires. Main thread only.
  virtual std::shared_ptr<Timer> scheduleTimer(double seconds, std::function<void()> fire) = 0;
};

// Blocks the calling thread for a while (the route-settling wait).
class Sleeper {
 public:
  virtual ~Sleeper() = default;
  virtual void sleepFor(double seconds) = 0;
};

}  // namespace tellwyn
