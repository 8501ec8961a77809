#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/audio_devices.h"
#include "protocol/bridge_message.h"

namespace tellwyn {

// The device list: identifiers in the system's order, or the failing status
// of the size query or of the read.
struct DeviceListRead {
  std::vector<AudioObjectId> devices;
  AudioStatus status = kAudioNoError;
};
DeviceListRead readDeviceList(AudioDeviceSystem& system);

// A device's text property, or absent when any step of the read fails or the
// device yields no text.
std::optional<std::string> readTextProperty(AudioDeviceSystem& system, AudioObjectId device,
                                            DeviceTextProperty property);

// Every device with at least one input channel, as {UID, name}, in the
// system's order. Never fails: failures only shorten the list.
std::vector<DeviceInfo> listInputDevices(AudioDeviceSystem& system);

}  // namespace tellwyn
