#include "platform/fake/fake_audio_devices.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/audio_buffer_list.h"

namespace tellwyn {

namespace {

constexpr std::uint32_t kIdBytes = sizeof(AudioObjectId);

FakeDeviceCall sizeCall(DeviceTextProperty property) {
  return property == DeviceTextProperty::kUid ? FakeDeviceCall::kUidSize
                                              : FakeDeviceCall::kNameSize;
}

FakeDeviceCall readCall(DeviceTextProperty property) {
  return property == DeviceTextProperty::kUid ? FakeDeviceCall::kReadUid
                                              : FakeDeviceCall::kReadName;
}

const char* propertyName(DeviceTextProperty property) {
  return property == DeviceTextProperty::kUid ? "uid" : "name";
}

}  // namespace

void FakeAudioDeviceSystem::addDevice(FakeAudioDevice device) {
  devices_.push_back(std::move(device));
}

void FakeAudioDeviceSystem::failCall(FakeDeviceCall call, AudioStatus status,
                                     std::optional<AudioObjectId> device) {
  failures_[{call, device}] = status;
}

std::optional<AudioStatus> FakeAudioDeviceSystem::injected(FakeDeviceCall call,
                                                           AudioObjectId device) const {
  if (auto it = failures_.find({call, device}); it != failures_.end()) return it->second;
  if (auto it = failures_.find({call, std::nullopt}); it != failures_.end()) return it->second;
  return std::nullopt;
}

const FakeAudioDevice* FakeAudioDeviceSystem::find(AudioObjectId device) const {
  if (device == kAudioObjectUnknown) return nullptr;
  const auto it = std::find_if(devices_.begin(), devices_.end(),
                               [device](const FakeAudioDevice& d) { return d.id == device; });
  return it == devices_.end() ? nullptr : &*it;
}

std::vector<std::byte> FakeAudioDeviceSystem::streamConfiguration(
    const FakeAudioDevice& device) const {
  if (device.streamConfiguration) return *device.streamConfiguration;
  return encodeAudioBufferList(device.inputBuffers);
}

void FakeAudioDeviceSystem::log(std::string call, AudioObjectId device) {
  calls_.push_back(std::move(call) + " " + std::to_string(device));
}

AudioStatus FakeAudioDeviceSystem::deviceListSize(std::uint32_t& outBytes) {
  calls_.push_back("listSize");
  if (auto status = injected(FakeDeviceCall::kDeviceListSize, kAudioObjectUnknown)) return *status;
  outBytes = listSizeOverride_.value_or(static_cast<std::uint32_t>(devices_.size() * kIdBytes));
  return kAudioNoError;
}

AudioStatus FakeAudioDeviceSystem::readDeviceList(std::uint32_t& ioBytes,
                                                  std::span<AudioObjectId> out) {
  calls_.push_back("list");
  if (auto status = injected(FakeDeviceCall::kReadDeviceList, kAudioObjectUnknown)) return *status;
  std::size_t count = std::min<std::size_t>({ioBytes / kIdBytes, out.size(), devices_.size()});
  if (listReadLimit_) count = std::min(count, *listReadLimit_);
  for (std::size_t i = 0; i < count; ++i) out[i] = devices_[i].id;
  ioBytes = static_cast<std::uint32_t>(count * kIdBytes);
  return kAudioNoError;
}

AudioStatus FakeAudioDeviceSystem::inputStreamConfigurationSize(AudioObjectId device,
                                                                std::uint32_t& outBytes) {
  log("streamsSize", device);
  if (auto status = injected(FakeDeviceCall::kInputStreamConfigurationSize, device)) {
    return *status;
  }
  const FakeAudioDevice* found = find(device);
  if (!found) return kBadObject;
  outBytes = static_cast<std::uint32_t>(streamConfiguration(*found).size());
  return kAudioNoError;
}

AudioStatus FakeAudioDeviceSystem::readInputStreamConfiguration(AudioObjectId device,
                                                                std::uint32_t& ioBytes,
                                                                std::span<std::byte> out) {
  log("streams", device);
  if (auto status = injected(FakeDeviceCall::kReadInputStreamConfiguration, device)) {
    return *status;
  }
  const FakeAudioDevice* found = find(device);
  if (!found) return kBadObject;
  const auto bytes = streamConfiguration(*found);
  const std::size_t copied = std::min<std::size_t>({ioBytes, out.size(), bytes.size()});
  if (copied > 0) std::memcpy(out.data(), bytes.data(), copied);
  ioBytes = static_cast<std::uint32_t>(copied);
  return kAudioNoError;
}

AudioStatus FakeAudioDeviceSystem::textPropertySize(AudioObjectId device,
                                                    DeviceTextProperty property,
                                                    std::uint32_t& outBytes) {
  log(std::string(propertyName(property)) + "Size", device);
  if (auto status = injected(sizeCall(property), device)) return *status;
  const FakeAudioDevice* found = find(device);
  if (!found) return kBadObject;
  const auto& text = property == DeviceTextProperty::kUid ? found->uid : found->name;
  outBytes = static_cast<std::uint32_t>(text ? text->size() : 0);
  return kAudioNoError;
}

AudioStatus FakeAudioDeviceSystem::readTextProperty(AudioObjectId device,
                                                    DeviceTextProperty property,
                                                    std::uint32_t& ioBytes,
                                                    std::optional<std::string>& out) {
  log(propertyName(property), device);
  if (auto status = injected(readCall(property), device)) return *status;
  const FakeAudioDevice* found = find(device);
  if (!found) return kBadObject;
  out = property == DeviceTextProperty::kUid ? found->uid : found->name;
  ioBytes = static_cast<std::uint32_t>(out ? out->size() : 0);
  return kAudioNoError;
}

AudioStatus FakeAudioDeviceSystem::readDefaultInputDevice(std::uint32_t& ioBytes,
                                                          AudioObjectId& out) {
  calls_.push_back("readDefault");
  ++defaultInputReads_;
  if (auto status = injected(FakeDeviceCall::kReadDefaultInput, kAudioObjectUnknown)) {
    return *status;
  }
  if (ioBytes < kIdBytes) return kBadSize;
  if (pendingDefault_) {
    if (pendingDefault_->readsLeft <= 0) {
      defaultInput_ = pendingDefault_->device;
      pendingDefault_.reset();
    } else {
      --pendingDefault_->readsLeft;
    }
  }
  out = defaultInput_;
  ioBytes = kIdBytes;
  return kAudioNoError;
}

AudioStatus FakeAudioDeviceSystem::writeDefaultInputDevice(std::uint32_t bytes,
                                                           AudioObjectId device) {
  log("writeDefault", device);
  if (sharedLog_) sharedLog_->record("setDefaultInput " + std::to_string(device));
  if (auto status = injected(FakeDeviceCall::kWriteDefaultInput, device)) return *status;
  if (bytes != kIdBytes) return kBadSize;
  if (!find(device)) return kBadObject;
  writes_.push_back(device);
  if (writeDelay_) switchDefaultInputAfter(*writeDelay_, device);
  return kAudioNoError;
}

std::string FakeAudioDeviceSystem::describeStatus(AudioStatus status) {
  return "fake status " + std::to_string(status);
}

}  // namespace tellwyn
