#pragma once

#include "app/process_state.h"
#include "platform/application.h"

namespace tellwyn {

// Handles SIGTERM once a session exists: stops the active session, if any,
// then ends the process with status 0. Runs on the main thread (the signal is
// handed to the event loop); does not return.
[[noreturn]] void handleTermination(ProcessState& state, Application& application);

}  // namespace tellwyn
