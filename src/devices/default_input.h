#pragma once

#include <optional>
#include <string>

#include "platform/audio_devices.h"
#include "platform/error.h"
#include "platform/main_queue.h"

namespace tellwyn {

// Makes the device whose UID equals `deviceUID` the system-wide default input
// (for every process, never restored). Does not wait for the change.
Status setDefaultInputDevice(AudioDeviceSystem& system, const std::string& deviceUID);

// Polls until the default input reports `deviceUID` (at most 12 checks 0.05 s
// apart), then pauses 0.15 s. Never fails; writes at most one debug line.
void stabilizeInputRoute(AudioDeviceSystem& system, Sleeper& sleeper, const std::string& deviceUID);

// The UID of the current default input, or absent.
std::optional<std::string> currentDefaultInputDeviceUID(AudioDeviceSystem& system);

}  // namespace tellwyn
