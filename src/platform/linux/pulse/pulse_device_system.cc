#include "platform/linux/pulse/pulse_device_system.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>
#include <vector>

#include "platform/audio_buffer_list.h"

namespace tellwyn {

namespace {

constexpr std::uint32_t kIdBytes = sizeof(AudioObjectId);
constexpr char kClientName[] = "Tellwyn";

// What the device system needs to know of one source.
struct SourceSnapshot {
  std::uint32_t index = PA_INVALID_INDEX;
  std::string name;
  std::optional<std::string> description;
  std::uint32_t channels = 0;
};

SourceSnapshot snapshotOf(const pa_source_info& info) {
  SourceSnapshot source;
  source.index = info.index;
  source.name = info.name != nullptr ? info.name : "";
  if (info.description != nullptr) source.description = info.description;
  source.channels = info.sample_spec.channels;
  return source;
}

AudioObjectId deviceIdOf(std::uint32_t index) { return index + 1; }

// The source index of a device, or absent for 0 (no object).
std::optional<std::uint32_t> sourceIndexOf(AudioObjectId device) {
  if (device == kAudioObjectUnknown) return std::nullopt;
  return device - 1;
}

std::vector<std::byte> streamConfigurationOf(const SourceSnapshot& source) {
  const std::uint32_t channels[] = {source.channels};
  return encodeAudioBufferList(channels);
}

}  // namespace

// The libpulse context on its private main loop, iterated only inside the
// calls below with a deadline each. Failures that leave the connection
// unusable are kept, and every later call returns them at once. One thread
// at a time.
class PulseDeviceSystem::Connection {
 public:
  explicit Connection(Options options) : options_(std::move(options)) {}
  ~Connection() { close(); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  AudioStatus listSources(std::vector<SourceSnapshot>& out) {
    SourceQuery query;
    const AudioStatus status = runSourceQuery(query, [&](pa_context* context) {
      return pa_context_get_source_info_list(context, &Connection::onSourceInfo, &query);
    });
    if (status != kAudioNoError) return status;
    std::sort(query.sources.begin(), query.sources.end(),
              [](const auto& a, const auto& b) { return a.index < b.index; });
    // The largest index would map to identifier 0; no server hands it out.
    std::erase_if(query.sources, [](const auto& s) {
      return s.index >= std::numeric_limits<std::uint32_t>::max();
    });
    out = std::move(query.sources);
    return kAudioNoError;
  }

  AudioStatus sourceByIndex(std::uint32_t index, SourceSnapshot& out) {
    SourceQuery query;
    const AudioStatus status = runSourceQuery(query, [&](pa_context* context) {
      return pa_context_get_source_info_by_index(context, index, &Connection::onSourceInfo, &query);
    });
    return takeSingle(status, query, out);
  }

  AudioStatus sourceByName(const std::string& name, SourceSnapshot& out) {
    SourceQuery query;
    const AudioStatus status = runSourceQuery(query, [&](pa_context* context) {
      return pa_context_get_source_info_by_name(context, name.c_str(), &Connection::onSourceInfo,
                                                &query);
    });
    return takeSingle(status, query, out);
  }

  // The default source's name; absent when the server has none.
  AudioStatus defaultSourceName(std::optional<std::string>& out) {
    ServerQuery query;
    const AudioStatus status = runOperation(
        [&](pa_context* context) {
          return pa_context_get_server_info(context, &Connection::onServerInfo, &query);
        },
        [&] { return query.done; });
    if (status != kAudioNoError) return status;
    out = std::move(query.defaultSource);
    return kAudioNoError;
  }

  AudioStatus setDefaultSource(const std::string& name) {
    SuccessQuery query;
    const AudioStatus status = runOperation(
        [&](pa_context* context) {
          return pa_context_set_default_source(context, name.c_str(), &Connection::onSuccess,
                                               &query);
        },
        [&] { return query.done; });
    if (status != kAudioNoError) return status;
    return query.error;
  }

 private:
  struct SourceQuery {
    bool done = false;
    AudioStatus error = kAudioNoError;
    std::vector<SourceSnapshot> sources;
  };
  struct ServerQuery {
    bool done = false;
    std::optional<std::string> defaultSource;
  };
  struct SuccessQuery {
    bool done = false;
    AudioStatus error = kAudioNoError;
  };

  static void onSourceInfo(pa_context* context, const pa_source_info* info, int eol, void* data) {
    auto* query = static_cast<SourceQuery*>(data);
    if (eol < 0) {
      query->error = pa_context_errno(context);
      if (query->error == kAudioNoError) query->error = PA_ERR_UNKNOWN;
      query->done = true;
    } else if (eol > 0) {
      query->done = true;
    } else if (info != nullptr) {
      query->sources.push_back(snapshotOf(*info));
    }
  }

  static void onServerInfo(pa_context*, const pa_server_info* info, void* data) {
    auto* query = static_cast<ServerQuery*>(data);
    if (info != nullptr && info->default_source_name != nullptr &&
        info->default_source_name[0] != '\0') {
      query->defaultSource = info->default_source_name;
    }
    query->done = true;
  }

  static void onSuccess(pa_context* context, int success, void* data) {
    auto* query = static_cast<SuccessQuery*>(data);
    if (!success) {
      query->error = pa_context_errno(context);
      if (query->error == kAudioNoError) query->error = PA_ERR_UNKNOWN;
    }
    query->done = true;
  }

  template <typename Start>
  AudioStatus runSourceQuery(SourceQuery& query, Start start) {
    const AudioStatus status = runOperation(start, [&] { return query.done; });
    if (status != kAudioNoError) return status;
    return query.error;
  }

  static AudioStatus takeSingle(AudioStatus status, SourceQuery& query, SourceSnapshot& out) {
    if (status != kAudioNoError) return status;
    if (query.sources.empty()) return PA_ERR_NOENTITY;
    out = std::move(query.sources.front());
    return kAudioNoError;
  }

  // Starts an operation and iterates the loop until `done`. A timeout or a
  // broken connection ends the connection for good.
  AudioStatus runOperation(const std::function<pa_operation*(pa_context*)>& start,
                           const std::function<bool()>& done) {
    if (const AudioStatus status = connect(); status != kAudioNoError) return status;
    pa_operation* operation = start(context_);
    if (operation == nullptr) {
      const AudioStatus error = pa_context_errno(context_);
      if (PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) {
        return error != PA_OK ? error : PA_ERR_UNKNOWN;
      }
      return failFor(error);
    }
    const AudioStatus status = iterateUntil(done, deadlineAfter(options_.operationTimeout));
    if (status != kAudioNoError) {
      // The callback must not run on the query once the caller has returned.
      pa_operation_cancel(operation);
      pa_operation_unref(operation);
      return failFor(status);
    }
    pa_operation_unref(operation);
    return kAudioNoError;
  }

  AudioStatus connect() {
    if (failure_) return *failure_;
    if (context_ != nullptr) return kAudioNoError;
    loop_ = pa_mainloop_new();
    if (loop_ == nullptr) return failFor(PA_ERR_INTERNAL);
    context_ = pa_context_new(pa_mainloop_get_api(loop_), kClientName);
    if (context_ == nullptr) return failFor(PA_ERR_INTERNAL);
    const char* server = options_.server ? options_.server->c_str() : nullptr;
    if (pa_context_connect(context_, server, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
      return failFor(pa_context_errno(context_));
    }
    const AudioStatus status =
        iterateUntil([this] { return pa_context_get_state(context_) == PA_CONTEXT_READY; },
                     deadlineAfter(options_.connectTimeout));
    if (status != kAudioNoError) return failFor(status);
    return kAudioNoError;
  }

  static std::chrono::steady_clock::time_point deadlineAfter(std::chrono::milliseconds timeout) {
    return std::chrono::steady_clock::now() + timeout;
  }

  AudioStatus iterateUntil(const std::function<bool()>& done,
                           std::chrono::steady_clock::time_point deadline) {
    while (!done()) {
      if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) {
        const int error = pa_context_errno(context_);
        return error != PA_OK ? error : PA_ERR_CONNECTIONTERMINATED;
      }
      const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return PA_ERR_TIMEOUT;
      const auto timeout =
          static_cast<int>(std::min<std::int64_t>(left.count(), std::numeric_limits<int>::max()));
      if (pa_mainloop_prepare(loop_, timeout) < 0 || pa_mainloop_poll(loop_) < 0 ||
          pa_mainloop_dispatch(loop_) < 0) {
        return PA_ERR_INTERNAL;
      }
    }
    return kAudioNoError;
  }

  // Keeps `status` as the answer to every later call and drops the context.
  AudioStatus failFor(AudioStatus status) {
    if (status == kAudioNoError) status = PA_ERR_UNKNOWN;
    failure_ = status;
    close();
    return status;
  }

  void close() {
    if (context_ != nullptr) {
      pa_context_disconnect(context_);
      pa_context_unref(context_);
      context_ = nullptr;
    }
    if (loop_ != nullptr) {
      pa_mainloop_free(loop_);
      loop_ = nullptr;
    }
  }

  Options options_;
  pa_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  std::optional<AudioStatus> failure_;
};

PulseDeviceSystem::PulseDeviceSystem() : PulseDeviceSystem(Options{}) {}

PulseDeviceSystem::PulseDeviceSystem(Options options)
    : connection_(std::make_unique<Connection>(std::move(options))) {}

PulseDeviceSystem::~PulseDeviceSystem() = default;

AudioStatus PulseDeviceSystem::deviceListSize(std::uint32_t& outBytes) {
  std::vector<SourceSnapshot> sources;
  const AudioStatus status = connection_->listSources(sources);
  if (status != kAudioNoError) return status;
  outBytes = static_cast<std::uint32_t>(sources.size() * kIdBytes);
  return kAudioNoError;
}

AudioStatus PulseDeviceSystem::readDeviceList(std::uint32_t& ioBytes,
                                              std::span<AudioObjectId> out) {
  std::vector<SourceSnapshot> sources;
  const AudioStatus status = connection_->listSources(sources);
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
  SourceSnapshot source;
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
  SourceSnapshot source;
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
  SourceSnapshot source;
  const AudioStatus status = connection_->sourceByIndex(*index, source);
  if (status != kAudioNoError) return status;
  out = property == DeviceTextProperty::kUid ? std::optional<std::string>(std::move(source.name))
                                             : std::move(source.description);
  ioBytes = static_cast<std::uint32_t>(out ? out->size() : 0);
  return kAudioNoError;
}

AudioStatus PulseDeviceSystem::readDefaultInputDevice(std::uint32_t& ioBytes, AudioObjectId& out) {
  if (ioBytes < kIdBytes) return PA_ERR_INVALID;
  std::optional<std::string> name;
  AudioStatus status = connection_->defaultSourceName(name);
  if (status != kAudioNoError) return status;
  AudioObjectId device = kAudioObjectUnknown;
  if (name) {
    SourceSnapshot source;
    status = connection_->sourceByName(*name, source);
    if (status != kAudioNoError) return status;
    device = deviceIdOf(source.index);
  }
  out = device;
  ioBytes = kIdBytes;
  return kAudioNoError;
}

AudioStatus PulseDeviceSystem::writeDefaultInputDevice(std::uint32_t bytes, AudioObjectId device) {
  if (bytes != kIdBytes) return PA_ERR_INVALID;
  const auto index = sourceIndexOf(device);
  if (!index) return PA_ERR_NOENTITY;
  SourceSnapshot source;
  const AudioStatus status = connection_->sourceByIndex(*index, source);
  if (status != kAudioNoError) return status;
  return connection_->setDefaultSource(source.name);
}

std::string PulseDeviceSystem::describeStatus(AudioStatus status) {
  const char* text = pa_strerror(status);
  if (text == nullptr) return "Unknown sound server error " + std::to_string(status);
  return text;
}

std::unique_ptr<AudioDeviceSystem> makePulseDeviceSystem() {
  return std::make_unique<PulseDeviceSystem>();
}

}  // namespace tellwyn
