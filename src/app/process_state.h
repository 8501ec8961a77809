#pragma once

#include <memory>

#include "app/command_line.h"

namespace tellwyn {

class SpeechBridge;

// The three values that live for the whole process. `main` owns the one
// instance and hands references to the code that reads or writes them.
// Main thread only; the termination handler reads `activeBridge` on the main
// thread too, because the signal is delivered through the event loop.
struct ProcessState {
  // The parsed command line; written once before the run mode is chosen.
  BridgeCommandLineConfig config;
  // The silence delay a new session starts with; written once before the
  // event loop starts.
  double finalizeDelaySeconds = 1.2;
  // The running session, once one has been constructed; never cleared.
  std::shared_ptr<SpeechBridge> activeBridge;
};

}  // namespace tellwyn
