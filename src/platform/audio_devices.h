#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace tellwyn {

// A device's identifier in the audio device system. 0 is no object.
using AudioObjectId = std::uint32_t;
inline constexpr AudioObjectId kAudioObjectUnknown = 0;

// A call's result: 0 is success, anything else a failure.
using AudioStatus = std::int32_t;
inline constexpr AudioStatus kAudioNoError = 0;

// The text properties a device offers.
enum class DeviceTextProperty { kUid, kName };

// The audio hardware property interface: the device list, each device's
// input stream configuration, UID and name, and the system-wide default input
// device. Every read is a size query and a read, as the hardware interface
// offers them; nothing is cached between calls. Main thread (or any one thread
// at a time).
//
// The input stream configuration is an audio buffer list laid out as in
// audio_buffer_list.h.
class AudioDeviceSystem {
 public:
  virtual ~AudioDeviceSystem() = default;

  virtual AudioStatus deviceListSize(std::uint32_t& outBytes) = 0;
  // Fills up to ioBytes / 4 entries of `out`; ioBytes becomes the bytes read.
  virtual AudioStatus readDeviceList(std::uint32_t& ioBytes, std::span<AudioObjectId> out) = 0;

  virtual AudioStatus inputStreamConfigurationSize(AudioObjectId device,
                                                   std::uint32_t& outBytes) = 0;
  virtual AudioStatus readInputStreamConfiguration(AudioObjectId device, std::uint32_t& ioBytes,
                                                   std::span<std::byte> out) = 0;

  virtual AudioStatus textPropertySize(AudioObjectId device, DeviceTextProperty property,
                                       std::uint32_t& outBytes) = 0;
  // On success `out` holds the text, or stays absent when the device yields
  // no reference.
  virtual AudioStatus readTextProperty(AudioObjectId device, DeviceTextProperty property,
                                       std::uint32_t& ioBytes, std::optional<std::string>& out) = 0;

  virtual AudioStatus readDefaultInputDevice(std::uint32_t& ioBytes, AudioObjectId& out) = 0;
  virtual AudioStatus writeDefaultInputDevice(std::uint32_t bytes, AudioObjectId device) = 0;

  // The system's own text for a failing status.
  virtual std::string describeStatus(AudioStatus status) = 0;
};

}  // namespace tellwyn
