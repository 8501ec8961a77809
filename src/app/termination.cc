#include "app/termination.h"

#include <cstdlib>

#include "speech/speech_bridge.h"

namespace tellwyn {

void handleTermination(ProcessState& state, Application& application) {
  if (state.activeBridge) {
    state.activeBridge->stop();
  }
  application.exitProcess(0);
  // exitProcess does not return; this keeps the promise if an implementation
  // ever did.
  std::abort();
}

}  // namespace tellwyn
