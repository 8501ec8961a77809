#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "platform/audio_devices.h"
#include "platform/fake/call_log.h"

namespace tellwyn {

// One device of the fake system. Absent `uid` or `name` reads successfully
// but yields no reference. `inputBuffers` are the channel counts of the input
// buffers; `streamConfiguration`, when set, replaces their encoding with raw
// bytes (for lists too short for their buffer count).
struct FakeAudioDevice {
  AudioObjectId id = kAudioObjectUnknown;
  std::optional<std::string> uid;
  std::optional<std::string> name;
  std::vector<std::uint32_t> inputBuffers;
  std::optional<std::vector<std::byte>> streamConfiguration;
};

// The calls of the audio device system, for failure injection.
enum class FakeDeviceCall {
  kDeviceListSize,
  kReadDeviceList,
  kInputStreamConfigurationSize,
  kReadInputStreamConfiguration,
  kUidSize,
  kReadUid,
  kNameSize,
  kReadName,
  kReadDefaultInput,
  kWriteDefaultInput,
};

// A scriptable audio device system. Devices are listed in the order they
// were added; any call can be made to fail with a chosen status, for every
// device or for one. The default input is whatever the test set, and a
// written default input shows after a chosen number of further reads (or
// never). Every call is logged as a short text such as "uid 3" or
// "writeDefault 3". With a shared call log, each write of the default input
// is also recorded there as "setDefaultInput 3", in order with the other
// fakes' calls. The test's thread only.
class FakeAudioDeviceSystem : public AudioDeviceSystem {
 public:
  explicit FakeAudioDeviceSystem(CallLog* sharedLog = nullptr) : sharedLog_(sharedLog) {}

  // Appends a device; the list keeps the order of addition.
  void addDevice(FakeAudioDevice device);

  // Makes `call` fail with `status` (for `device` only, when given) until
  // cleared with clearFailures().
  void failCall(FakeDeviceCall call, AudioStatus status,
                std::optional<AudioObjectId> device = std::nullopt);
  void clearFailures() { failures_.clear(); }

  // The device list read fills only the first `entries` entries (and reports
  // the bytes of those), as when devices vanish between size query and read.
  void limitDeviceListRead(std::optional<std::size_t> entries) { listReadLimit_ = entries; }

  // The size query of the device list reports `bytes` instead of 4 per
  // device.
  void reportDeviceListSize(std::optional<std::uint32_t> bytes) { listSizeOverride_ = bytes; }

  // The current default input; 0 for none.
  void setDefaultInput(AudioObjectId device) {
    defaultInput_ = device;
    pendingDefault_.reset();
  }
  // After `reads` more reads of the default input, it becomes `device`.
  void switchDefaultInputAfter(int reads, AudioObjectId device) {
    pendingDefault_ = PendingDefault{reads, device};
  }
  // How many reads a write takes to show: 0 at once (the default), absent
  // never.
  void setWriteDelay(std::optional<int> reads) { writeDelay_ = reads; }

  AudioObjectId defaultInput() const { return defaultInput_; }
  const std::vector<AudioObjectId>& writes() const { return writes_; }
  const std::vector<std::string>& calls() const { return calls_; }
  void clearCalls() { calls_.clear(); }
  int defaultInputReads() const { return defaultInputReads_; }

  AudioStatus deviceListSize(std::uint32_t& outBytes) override;
  AudioStatus readDeviceList(std::uint32_t& ioBytes, std::span<AudioObjectId> out) override;
  AudioStatus inputStreamConfigurationSize(AudioObjectId device, std::uint32_t& outBytes) override;
  AudioStatus readInputStreamConfiguration(AudioObjectId device, std::uint32_t& ioBytes,
                                           std::span<std::byte> out) override;
  AudioStatus textPropertySize(AudioObjectId device, DeviceTextProperty property,
                               std::uint32_t& outBytes) override;
  AudioStatus readTextProperty(AudioObjectId device, DeviceTextProperty property,
                               std::uint32_t& ioBytes, std::optional<std::string>& out) override;
  AudioStatus readDefaultInputDevice(std::uint32_t& ioBytes, AudioObjectId& out) override;
  AudioStatus writeDefaultInputDevice(std::uint32_t bytes, AudioObjectId device) override;
  std::string describeStatus(AudioStatus status) override;

  // Status returned for calls on an object that does not exist.
  static constexpr AudioStatus kBadObject = 0x21216f62;  // '!!ob'
  // Status returned for a data size that does not fit the property.
  static constexpr AudioStatus kBadSize = 0x2173697a;  // '!siz'

 private:
  struct PendingDefault {
    int readsLeft = 0;
    AudioObjectId device = kAudioObjectUnknown;
  };

  std::optional<AudioStatus> injected(FakeDeviceCall call, AudioObjectId device) const;
  const FakeAudioDevice* find(AudioObjectId device) const;
  std::vector<std::byte> streamConfiguration(const FakeAudioDevice& device) const;
  void log(std::string call, AudioObjectId device);

  CallLog* sharedLog_ = nullptr;
  std::vector<FakeAudioDevice> devices_;
  std::map<std::tuple<FakeDeviceCall, std::optional<AudioObjectId>>, AudioStatus> failures_;
  std::optional<std::size_t> listReadLimit_;
  std::optional<std::uint32_t> listSizeOverride_;
  AudioObjectId defaultInput_ = kAudioObjectUnknown;
  std::optional<PendingDefault> pendingDefault_;
  std::optional<int> writeDelay_ = 0;
  std::vector<AudioObjectId> writes_;
  std::vector<std::string> calls_;
  int defaultInputReads_ = 0;
};

}  // namespace tellwyn
