#pragma once

#include <functional>
#include <memory>

#include "platform/application.h"
#include "platform/main_queue.h"

namespace tellwyn {

// The application object on Linux: one main thread running a standalone Asio
// event loop. run() and the control calls belong to the main thread;
// mainQueue().post() may be called from any thread.
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

 private:
  class Loop;
  std::unique_ptr<Loop> loop_;
  ApplicationDelegate* delegate_ = nullptr;
};

// Sleeps the calling thread.
class ThreadSleeper : public Sleeper {
 public:
  void sleepFor(double seconds) override;
};

}  // namespace tellwyn
