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
// SIGTERM is blocked on every thread and read on a small thread of its own
// (construct this before starting any other thread). Until the termination
// handler is installed it has its default effect; from then on that thread
// only marks terminationWatch(), and the event loop
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
  // Made first, on the constructing thread, so that every thread started
  // afterwards inherits SIGTERM blocked.
  std::unique_ptr<SignalThread> signals_;
  std::unique_ptr<Loop> loop_;
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
