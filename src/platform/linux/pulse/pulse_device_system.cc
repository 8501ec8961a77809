#include "platform/linux/pulse/pulse_device_system.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "platform/audio_buffer_list.h"
#include "platform/linux/pulse/pulse_client.h"

namespace tellwyn {

namespace {

constexpr std::uint32_t kIdBytes = sizeof(AudioObjectId);

AudioObjectId deviceIdOf(std::uint32_t index) { return index + 1; }

// The source index of a device, or absent for 0 (no object).
std::optional<std::uint32_t> sourceIndexOf(AudioObjectId device) {
  if (device == kAudioObjectUnknown) return std::nullopt;
  return device - 1;
}

std::vector<std::byte> streamConfigurationOf(const PulseSource& source) {
  const std::uint32_t channels[] = {source.sampleSpec.channels};
  return encodeAudioBufferList(channels);
}

// Failures after which the connection is of no more use.
bool endsConnection(PulseError error, const PulseClient& client) {
  return error == PA_ERR_TIMEOUT || error == PA_ERR_INTERNAL || error == kPulseTerminated ||
         !client.connected();
}

}  // namespace

// The libpulse client on its private main loop, iterated only inside the
// calls below with a deadline each. Failures that leave the connection
// unusable are kept, and every later call returns them at once.
//
// The source list that a device-list read fetches is kept until the next
// one: the reads of one listing that follow it (each device's stream
// configuration, UID and name) are answered from it, so a listing asks the
// server once instead of once per property. A device that is not in it is
// asked for on its own. One thread at a time.
class PulseDeviceSystem::Connection {
 public:
  Connection(Options options, TerminationWatch* termination)
      : options_(std::move(options)), termination_(termination) {}

  PulseError listSources(std::vector<PulseSource>& out) {
    std::vector<PulseSource> sources;
    const PulseError error = run([&](PulseClient& client, PulseDeadline deadline) {
      return client.sources(sources, deadline);
    });
    if (error != PA_OK) return error;
    std::sort(sources.begin(), sources.end(),
              [](const auto& a, const auto& b) { return a.index < b.index; });
    // The largest index would map to identifier 0; no server hands it out.
    std::erase_if(sources, [](const auto& s) {
      return s.index >= std::numeric_limits<std::uint32_t>::max();
    });
    listed_ = sources;
    out = std::move(sources);
    return PA_OK;
  }

  // The source list of the last listSources, or a fresh one when there is
  // none yet.
  PulseError listedSources(std::vector<PulseSource>& out) {
    if (!listed_) return listSources(out);
    out = *listed_;
    return PA_OK;
  }

  PulseError sourceByIndex(std::uint32_t index, PulseSource& out) {
    if (listed_) {
      const auto found = std::find_if(listed_->begin(), listed_->end(),
                                      [index](const auto& s) { return s.index == index; });
      if (found != listed_->end()) {
        out = *found;
        return PA_OK;
      }
    }
    return run([&](PulseClient& client, PulseDeadline deadline) {
      return client.sourceByIndex(index, out, deadline);
    });
  }

  // The default source, read on a connection of its own: a server may keep
  // answering a connection with the default as it was when that connection
  // last changed it. Absent when the server has no default source.
  PulseError defaultSource(std::optional<PulseSource>& out) {
    if (failure_) return *failure_;
    PulseSyncLoop loop(termination_);
    PulseClient client(loop);
    std::optional<std::string> name;
    PulseError error = client.connect(options_.server, pulseDeadlineAfter(options_.connectTimeout));
    if (error == PA_OK) {
      error = client.defaultSourceName(name, pulseDeadlineAfter(options_.operationTimeout));
    }
    PulseSource source;
    if (error == PA_OK && name) {
      error = client.sourceByName(*name, source, pulseDeadlineAfter(options_.operationTimeout));
    }
    if (error != PA_OK) {
      if (endsConnection(error, client)) return failFor(error);
      return error;
    }
    if (!name) {
      out.reset();
      return PA_OK;
    }
    remember(source);
    out = std::move(source);
    return PA_OK;
  }

  PulseError setDefaultSource(const std::string& name) {
    return run([&](PulseClient& client, PulseDeadline deadline) {
      return client.setDefaultSource(name, deadline);
    });
  }

 private:
  // Keeps what a fresh read found, so reads that follow it agree with it.
  void remember(const PulseSource& source) {
    if (!listed_) return;
    const auto at =
        std::lower_bound(listed_->begin(), listed_->end(), source.index,
                         [](const auto& s, std::uint32_t index) { return s.index < index; });
    if (at != listed_->end() && at->index == source.index) {
      *at = source;
    } else {
      listed_->insert(at, source);
    }
  }

  template <typename Query>
  PulseError run(Query query) {
    if (const PulseError error = connect(); error != PA_OK) return error;
    const PulseError error = query(*client_, pulseDeadlineAfter(options_.operationTimeout));
    if (error != PA_OK && endsConnection(error, *client_)) return failFor(error);
    return error;
  }

  PulseError connect() {
    if (failure_) return *failure_;
    if (client_) return PA_OK;
    loop_ = std::make_unique<PulseSyncLoop>(termination_);
    client_ = std::make_unique<PulseClient>(*loop_);
    const PulseError error =
        client_->connect(options_.server, pulseDeadlineAfter(options_.connectTimeout));
    if (error != PA_OK) return failFor(error);
    return PA_OK;
  }

  // Keeps `error` as the answer to every later call and drops the
  // connection. A termination request hands the process over to its
  // termination handler, which does not return.
  PulseError failFor(PulseError error) {
    failure_ = error != PA_OK ? error : PA_ERR_UNKNOWN;
    client_.reset();
    loop_.reset();
    listed_.reset();
    if (error == kPulseTerminated && termination_ != nullptr) termination_->handOver();
    return *failure_;
  }

  Options options_;
  TerminationWatch* termination_;
  std::unique_ptr<PulseSyncLoop> loop_;
  std::unique_ptr<PulseClient> client_;
  std::optional<PulseError> failure_;
  std::optional<std::vector<PulseSource>> listed_;
};

PulseDeviceSystem::PulseDeviceSystem() : PulseDeviceSystem(Options{}) {}

PulseDeviceSystem::PulseDeviceSystem(Options options, TerminationWatch* termination)
    : connection_(std::make_unique<Connection>(std::move(options), termination)) {}

PulseDeviceSystem::~PulseDeviceSystem() = default;

AudioStatus PulseDeviceSystem::deviceListSize(std::uint32_t& outBytes) {
  std::vector<PulseSource> sources;
  const AudioStatus status = connection_->listSources(sources);
  if (status != kAudioNoError) return status;
  outBytes = static_cast<std::uint32_t>(sources.size() * kIdBytes);
  return kAudioNoError;
}

AudioStatus PulseDeviceSystem::readDeviceList(std::uint32_t& ioBytes,
                                              std::span<AudioObjectId> out) {
  // The list that the size query has just fetched: the two reads agree.
  std::vector<PulseSource> sources;
  const AudioStatus status = connection_->listedSources(sources);
  if (status != kAudioNoError) return status;
  const std::size_t count = std::min<std::size_t>({ioBytes / kIdBytes, out.size(), sources.size()});
  for (std::size_t i = 0; i < count; ++i) out[i] = deviceIdOf(sources[i].index);
  ioBytes = static_cast<std::uint32_t>(count * kIdBytes);
  return kAudioNoError;
}

AudioStatus PulseDeviceSystem::inputStreamConfigurationSize(AudioObjectId device,
                                                            std::uint32_t& outBytes) {
  const auto index = sourceIndexOf(device);
  if (!index) return PA_ERR_NOENTITY;
  PulseSource source;
  const AudioStatus status = connection_->sourceByIndex(*index, source);
  if (status != kAudioNoError) return status;
  outBytes = static_cast<std::uint32_t>(streamConfigurationOf(source).size());
  return kAudioNoError;
}

AudioStatus PulseDeviceSystem::readInputStreamConfiguration(AudioObjectId device,
                                                            std::uint32_t& ioBytes,
                                                            std::span<std::byte> out) {
  const auto index = sourceIndexOf(device);
  if (!index) return PA_ERR_NOENTITY;
  PulseSource source;
  const AudioStatus status = connection_->sourceByIndex(*index, source);
  if (status != kAudioNoError) return status;
  const auto bytes = streamConfigurationOf(source);
  const std::size_t copied = std::min<std::size_t>({ioBytes, out.size(), bytes.size()});
  if (copied > 0) std::memcpy(out.data(), bytes.data(), copied);
  ioBytes = static_cast<std::uint32_t>(copied);
  return kAudioNoError;
}

AudioStatus PulseDeviceSystem::textPropertySize(AudioObjectId device, DeviceTextProperty property,
                                                std::uint32_t& outBytes) {
  std::optional<std::string> text;
  std::uint32_t bytes = 0;
  const AudioStatus status = readTextProperty(device, property, bytes, text);
  if (status != kAudioNoError) return status;
  outBytes = bytes;
  return kAudioNoError;
}

AudioStatus PulseDeviceSystem::readTextProperty(AudioObjectId device, DeviceTextProperty property,
                                                std::uint32_t& ioBytes,
                                                std::optional<std::string>& out) {
  const auto index = sourceIndexOf(device);
  if (!index) return PA_ERR_NOENTITY;
  PulseSource source;
  const AudioStatus status = connection_->sourceByIndex(*index, source);
  if (status != kAudioNoError) return status;
  out = property == DeviceTextProperty::kUid ? std::optional<std::string>(std::move(source.name))
                                             : std::move(source.description);
  ioBytes = static_cast<std::uint32_t>(out ? out->size() : 0);
  return kAudioNoError;
}

AudioStatus PulseDeviceSystem::readDefaultInputDevice(std::uint32_t& ioBytes, AudioObjectId& out) {
  if (ioBytes < kIdBytes) return PA_ERR_INVALID;
  std::optional<PulseSource> source;
  const AudioStatus status = connection_->defaultSource(source);
  if (status != kAudioNoError) return status;
  out = source ? deviceIdOf(source->index) : kAudioObjectUnknown;
  ioBytes = kIdBytes;
  return kAudioNoError;
}

AudioStatus PulseDeviceSystem::writeDefaultInputDevice(std::uint32_t bytes, AudioObjectId device) {
  if (bytes != kIdBytes) return PA_ERR_INVALID;
  const auto index = sourceIndexOf(device);
  if (!index) return PA_ERR_NOENTITY;
  PulseSource source;
  const AudioStatus status = connection_->sourceByIndex(*index, source);
  if (status != kAudioNoError) return status;
  return connection_->setDefaultSource(source.name);
}

std::string PulseDeviceSystem::describeStatus(AudioStatus status) { return pulseErrorText(status); }

std::unique_ptr<AudioDeviceSystem> makePulseDeviceSystem(TerminationWatch* termination) {
  return std::make_unique<PulseDeviceSystem>(PulseDeviceSystem::Options{}, termination);
}

}  // namespace tellwyn
