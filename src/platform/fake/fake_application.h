#pragma once

#include <functional>
#include <vector>

#include "platform/application.h"
#include "platform/fake/fake_main_queue.h"

namespace tellwyn {

// Thrown by FakeApplication::exitProcess so a test can see that, and with
// which status, the code under test ended the process.
struct ProcessExit {
  int status = 0;
};

// An application object for tests: a FakeMainQueue that the test drives, and
// a record of the delegate, the activation calls and the termination handler.
// exitProcess throws ProcessExit instead of ending the process. The test's
// thread plays the main thread; only mainQueue().post() may come from others.
class FakeApplication : public Application {
 public:
  void setDelegate(ApplicationDelegate* delegate) override { delegate_ = delegate; }

  // Calls the delegate's launch notification, then runs the posted actions
  // until none is left, and returns (a real loop never does).
  void run() override;

  MainQueue& mainQueue() override { return queue_; }
  FakeMainQueue& fakeQueue() { return queue_; }

  void setActivationPolicy(int policy) override { activationPolicies_.push_back(policy); }
  void activateIgnoringOtherApps(bool flag) override { activations_.push_back(flag); }

  void installTerminationHandler(std::function<void()> handler) override {
    terminationHandler_ = std::move(handler);
    ++terminationHandlerInstalls_;
  }

  [[noreturn]] void exitProcess(int status) override;

  ApplicationDelegate* delegate() const { return delegate_; }
  const std::vector<int>& activationPolicies() const { return activationPolicies_; }
  const std::vector<bool>& activations() const { return activations_; }
  // The handler installed last; empty until one is installed.
  const std::function<void()>& terminationHandler() const { return terminationHandler_; }
  int terminationHandlerInstalls() const { return terminationHandlerInstalls_; }
  const std::vector<int>& exitStatuses() const { return exitStatuses_; }

 private:
  FakeMainQueue queue_;
  ApplicationDelegate* delegate_ = nullptr;
  std::vector<int> activationPolicies_;
  std::vector<bool> activations_;
  std::function<void()> terminationHandler_;
  int terminationHandlerInstalls_ = 0;
  std::vector<int> exitStatuses_;
};

}  // namespace tellwyn
