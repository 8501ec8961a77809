#pragma once

#include <optional>
#include <string>

#include "platform/platform.h"
#include "protocol/bridge_message.h"

namespace tellwyn {

// The report labels of the two permission statuses. The raw values 1 and 2
// mean opposite things for the microphone (restricted, denied) and for speech
// recognition (denied, restricted); each label follows its own enumeration.
std::string micStatusLabel(int status);
std::string speechStatusLabel(int status);

// The permission report: both statuses with their labels and granted flags,
// the bundle identifier and the executable path. Main thread.
AuthStatusInfo readAuthStatus(Platform& platform);

// The permission-status mode: writes the report as one JSON line on standard
// output and, when `authStatusFile` names a path, the same JSON text to that
// file atomically (a failed write becomes one debug line), then ends the
// process with status 0 through the application object. Main thread, before
// the event loop runs.
[[noreturn]] void printAuthStatusAndExit(const std::optional<std::string>& authStatusFile,
                                         Platform& platform);

}  // namespace tellwyn
