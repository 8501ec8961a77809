#pragma once

#include "app/process_state.h"
#include "platform/platform.h"

namespace tellwyn {

// Runs the setup and streaming modes: sets the session's silence delay from
// the command line, installs the application delegate and runs the event
// loop. Returns only if the loop ever returns. Main thread.
void runSpeechBridgeApp(ProcessState& state, Platform& platform);

}  // namespace tellwyn
