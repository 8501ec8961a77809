#pragma once

#include <functional>

#include "platform/main_queue.h"

namespace tellwyn {

// Receives the application's launch notification on the main thread.
class ApplicationDelegate {
 public:
  virtual ~ApplicationDelegate() = default;
  virtual void applicationDidFinishLaunching() = 0;
};

// The process's application object: the main thread's event loop with its
// queue and timers, the foreground activation calls, the termination signal
// and the process exit. run() and everything it calls happen on the main
// thread; mainQueue().post() may be called from any thread.
class Application {
 public:
  static constexpr int kActivationPolicyRegular = 0;

  virtual ~Application() = default;

  // The delegate is not owned and must outlive run().
  virtual void setDelegate(ApplicationDelegate* delegate) = 0;

  // Calls the delegate's applicationDidFinishLaunching once, then runs posted
  // actions and expired timers one at a time, in order. Never returns on its
  // own.
  virtual void run() = 0;

  virtual MainQueue& mainQueue() = 0;

  virtual void setActivationPolicy(int policy) = 0;
  virtual void activateIgnoringOtherApps(bool flag) = 0;

  // From now on SIGTERM calls `handler` on the main thread instead of ending
  // the process. Until then SIGTERM keeps its default effect.
  virtual void installTerminationHandler(std::function<void()> handler) = 0;

  // Flushes standard output and ends the process with `status`.
  [[noreturn]] virtual void exitProcess(int status) = 0;
};

}  // namespace tellwyn
