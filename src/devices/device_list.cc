#include "devices/device_list.h"

#include <algorithm>
#include <cstddef>
#include <span>
#include <utility>

#include "platform/audio_buffer_list.h"

namespace tellwyn {

namespace {

constexpr std::uint32_t kDeviceIdBytes = sizeof(AudioObjectId);

// Whether the device has at least one input buffer with a channel. The bytes
// are sized to what the system reports and released before the caller moves
// on to the next device.
bool hasInputChannels(AudioDeviceSystem& system, AudioObjectId device) {
  std::uint32_t size = 0;
  if (system.inputStreamConfigurationSize(device, size) != kAudioNoError) return false;
  std::vector<std::byte> bytes(size);
  std::uint32_t filled = size;
  if (system.readInputStreamConfiguration(device, filled, bytes) != kAudioNoError) return false;
  // Walk only the bytes the read returned.
  const std::size_t valid = std::min<std::size_t>(filled, bytes.size());
  return audioBufferListHasInputChannels(std::span<const std::byte>(bytes.data(), valid));
}

}  // namespace

DeviceListRead readDeviceList(AudioDeviceSystem& system) {
  DeviceListRead result;
  std::uint32_t size = 0;
  result.status = system.deviceListSize(size);
  if (result.status != kAudioNoError) return result;

  // Entries the read leaves unfilled stay 0 (no object); the per-device
  // reads then fail for them.
  std::vector<AudioObjectId> devices(size / kDeviceIdBytes, kAudioObjectUnknown);
  std::uint32_t ioBytes = size;
  result.status = system.readDeviceList(ioBytes, devices);
  if (result.status != kAudioNoError) return result;
  result.devices = std::move(devices);
  return result;
}

std::optional<std::string> readTextProperty(AudioDeviceSystem& system, AudioObjectId device,
                                            DeviceTextProperty property) {
  std::uint32_t size = 0;
  if (system.textPropertySize(device, property, size) != kAudioNoError) return std::nullopt;
  std::optional<std::string> text;
  if (system.readTextProperty(device, property, size, text) != kAudioNoError) {
    return std::nullopt;
  }
  return text;
}

std::vector<DeviceInfo> listInputDevices(AudioDeviceSystem& system) {
  std::vector<DeviceInfo> result;
  const DeviceListRead list = readDeviceList(system);
  if (list.status != kAudioNoError) return result;
  for (const AudioObjectId device : list.devices) {
    if (!hasInputChannels(system, device)) continue;
    auto uid = readTextProperty(system, device, DeviceTextProperty::kUid);
    if (!uid) continue;
    auto name = readTextProperty(system, device, DeviceTextProperty::kName);
    if (!name) continue;
    result.push_back(DeviceInfo{std::move(*uid), std::move(*name)});
  }
  return result;
}

}  // namespace tellwyn
