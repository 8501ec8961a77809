#pragma once

#include <functional>
#include <memory>

#include "platform/application.h"
#include "platform/main_queue.h"
#include "platform/termination_watch.h"

namespace tellwyn {

// The application object on Linux: one main thread running a standalone Asio
// event loop. run() and the control calls belong to the main thread;
// mainQueue().post() may be called from any thread.
//
// Once the termination handler is installed, SIGTERM is caught on a small
// thread of its own, which only marks terminationWatch(); the event loop
// watches that mark and runs the handler between two actions, and a wait
// that blocks the main thread watches it too and hands over (see
// TerminationWatch).
class AsioApplication : public Application {
 public:
  AsioApplication();
  ~AsioApplication() override;
  AsioApplication(const AsioApplication&) = delete;
  AsioApplication& operator=(const AsioApplication&) = delete;

  void setDelegate(ApplicationDelegate* delegate) override;
  void run() override;
  MainQueue& mainQueue() override;
  // A desktop session has no dock or menu bar to join; both are no-ops.
  void setActivationPolicy(int policy) override;
  void activateIgnoringOtherApps(bool flag) override;
  void installTerminationHandler(std::function<void()> handler) override;
  [[noreturn]] void exitProcess(int status) override;

  TerminationWatch& terminationWatch() { return termination_; }

 private:
  class Loop;
  class SignalThread;
  TerminationWatch termination_;
  std::unique_ptr<Loop> loop_;
  std::unique_ptr<SignalThread> signals_;
  ApplicationDelegate* delegate_ = nullptr;
};

// Sleeps the calling thread. With a termination watch, a termination request
// ends the sleep and hands over to the termination handler.
class ThreadSleeper : public Sleeper {
 public:
  explicit ThreadSleeper(TerminationWatch* termination = nullptr) : termination_(termination) {}
  void sleepFor(double seconds) override;

 private:
  TerminationWatch* termination_;
};

}  // namespace tellwyn
