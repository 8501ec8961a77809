#include "platform/fake/fake_application.h"

namespace tellwyn {

void FakeApplication::run() {
  if (delegate_ != nullptr) delegate_->applicationDidFinishLaunching();
  queue_.runPending();
}

void FakeApplication::exitProcess(int status) {
  exitStatuses_.push_back(status);
  throw ProcessExit{status};
}

}  // namespace tellwyn
