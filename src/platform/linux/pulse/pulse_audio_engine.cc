#include "platform/linux/pulse/pulse_audio_engine.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

namespace tellwyn {
namespace {

constexpr const char* kStreamName = "Tellwyn capture";

std::optional<AudioFormat> formatOf(const pa_sample_spec& spec) {
  const CommonFormat type =
      spec.format == PA_SAMPLE_S16NE ? CommonFormat::kInt16 : CommonFormat::kFloat32;
  return AudioFormat::make(type, spec.rate, spec.channels, false);
}

bool capturable(const AudioFormat& format) {
  return (format.commonFormat == CommonFormat::kFloat32 ||
          format.commonFormat == CommonFormat::kInt16) &&
         format.channelCount > 0 && format.channelCount <= PA_CHANNELS_MAX &&
         format.sampleRate >= 1 && format.sampleRate <= PA_RATE_MAX;
}

Error startError(const std::string& reason) {
  return Error{"tellwyn.audio", 10, "Audio capture could not start: " + reason};
}

// Copies frames [0, frames) of interleaved `data` into the buffer's channels.
template <typename Sample>
void deinterleave(const std::uint8_t* data, std::uint32_t frames, std::uint32_t channels,
                  std::span<Sample* const> out) {
  for (std::uint32_t frame = 0; frame < frames; ++frame) {
    for (std::uint32_t c = 0; c < channels; ++c) {
      std::memcpy(&out[c][frame], data, sizeof(Sample));
      data += sizeof(Sample);
    }
  }
}

class PulseAudioEngineFactory : public AudioEngineFactory {
 public:
  explicit PulseAudioEngineFactory(PulseAudioEngine::Options options)
      : options_(std::move(options)) {}
  Result<std::unique_ptr<AudioEngine>> makeEngine(
      const std::optional<std::string>& deviceUID) override {
    return PulseAudioEngine::open(deviceUID, options_);
  }

 private:
  const PulseAudioEngine::Options options_;
};

}  // namespace

PulseAudioEngine::PulseAudioEngine(Key, Options options, bool pinned)
    : options_(std::move(options)), pinned_(pinned), loop_(options_.termination), client_(loop_) {}

PulseAudioEngine::~PulseAudioEngine() { stop(); }

Result<std::unique_ptr<AudioEngine>> PulseAudioEngine::open(
    const std::optional<std::string>& deviceUID, Options options) {
  TerminationWatch* termination = options.termination;
  PulseError error = PA_OK;
  std::string reason;
  {
    auto engine =
        std::make_unique<PulseAudioEngine>(Key{}, std::move(options), deviceUID.has_value());
    error = engine->find(deviceUID);
    if (error == PA_OK) return std::unique_ptr<AudioEngine>(std::move(engine));
    if (error == PA_ERR_NOENTITY) {
      // In plain words: the placeholder or the name asked for says nothing
      // to whoever reads the message.
      reason = deviceUID ? "Input device not found" : "The sound server has no default input";
    } else if (error == PA_ERR_NOTSUPPORTED) {
      reason = "The input has no usable format";
    } else {
      reason = pulseErrorText(error);
    }
  }  // The engine's loop thread has ended and nothing is held any more.
  if (error == kPulseTerminated && termination != nullptr) termination->handOver();
  return startError(reason);
}

PulseError PulseAudioEngine::find(const std::optional<std::string>& deviceUID) {
  if (!loop_.start()) return PA_ERR_INTERNAL;
  PulseThreadedLoop::Lock lock(loop_);
  const auto step = [this] { return pulseDeadlineAfter(options_.stepTimeout); };
  PulseError error = client_.connect(options_.server, step());
  if (error != PA_OK) return error;
  std::optional<std::string> name = deviceUID;
  if (!name) {
    error = client_.defaultSourceName(name, step());
    if (error != PA_OK) return error;
    if (!name) return PA_ERR_NOENTITY;
  }
  error = client_.sourceByName(*name, source_, step());
  if (error != PA_OK) return error;
  const auto format = formatOf(source_.sampleSpec);
  if (!format) return PA_ERR_NOTSUPPORTED;
  sourceFormat_ = *format;
  return PA_OK;
}

void PulseAudioEngine::installTap(std::uint32_t bufferSize, const AudioFormat& format,
                                  TapBlock block) {
  TapBlock previous;  // released after the lock
  if (stream_ != nullptr) {
    PulseThreadedLoop::Lock lock(loop_);
    previous = std::exchange(tap_, std::move(block));
    return;
  }
  previous = std::exchange(tap_, std::move(block));
  bufferFrames_ = bufferSize > 0 ? bufferSize : 1024;
  tapFormat_ = format;
}

void PulseAudioEngine::removeTap() {
  TapBlock previous;  // released after the lock
  if (stream_ != nullptr) {
    PulseThreadedLoop::Lock lock(loop_);
    previous = std::exchange(tap_, nullptr);
  } else {
    previous = std::exchange(tap_, nullptr);
  }
}

Status PulseAudioEngine::start() {
  if (stream_ != nullptr) return {};
  // Without a tap (or with a format that cannot be captured), the source as
  // it is.
  const AudioFormat format = capturable(tapFormat_) ? tapFormat_ : sourceFormat_;

  pa_sample_spec spec{};
  spec.format = format.commonFormat == CommonFormat::kInt16 ? PA_SAMPLE_S16NE : PA_SAMPLE_FLOAT32NE;
  spec.rate = static_cast<std::uint32_t>(std::lround(format.sampleRate));
  spec.channels = static_cast<std::uint8_t>(format.channelCount);
  pa_channel_map map = source_.channelMap;
  if (map.channels != spec.channels) {
    pa_channel_map_init_extend(&map, spec.channels, PA_CHANNEL_MAP_DEFAULT);
  }

  // Everything the loop thread needs, made before capture starts.
  auto buffer = PcmBuffer::make(
      *AudioFormat::make(format.commonFormat, format.sampleRate, format.channelCount, false),
      bufferFrames_);
  if (!buffer) return startError("Unusable capture format");
  buffer_ = std::move(buffer);
  staging_.assign(pa_frame_size(&spec) * bufferFrames_, 0);
  stagedBytes_ = 0;
  sampleTime_ = 0;
  reportedBroken_ = false;
  streamWasReady_ = false;

  PulseError error = PA_OK;
  {
    PulseThreadedLoop::Lock lock(loop_);
    if (!client_.connected()) return startError(pulseErrorText(client_.lastError()));
    stopping_ = false;
    stream_ = pa_stream_new(client_.context(), kStreamName, &spec, &map);
    if (stream_ == nullptr) return startError(pulseErrorText(client_.lastError()));
    pa_stream_set_state_callback(stream_, &streamStateChanged, this);
    pa_stream_set_read_callback(stream_, &streamReadable, this);
    client_.setOnBroken([this] { captureBroken(); });

    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<std::uint32_t>(-1);
    attributes.tlength = static_cast<std::uint32_t>(-1);
    attributes.prebuf = static_cast<std::uint32_t>(-1);
    attributes.minreq = static_cast<std::uint32_t>(-1);
    attributes.fragsize = static_cast<std::uint32_t>(staging_.size());
    // A named source keeps the stream: it is neither moved to a new default
    // nor rescued to another source when it goes away.
    const auto flags = static_cast<pa_stream_flags_t>(
        PA_STREAM_ADJUST_LATENCY | (pinned_ ? PA_STREAM_DONT_MOVE : PA_STREAM_NOFLAGS));
    if (pa_stream_connect_record(stream_, source_.name.c_str(), &attributes, flags) < 0) {
      error = client_.lastError();
    } else {
      error = client_.waitFor([this] { return pa_stream_get_state(stream_) != PA_STREAM_CREATING; },
                              pulseDeadlineAfter(options_.stepTimeout));
    }
    if (error == PA_OK && pa_stream_get_state(stream_) != PA_STREAM_READY) {
      error = client_.lastError() != PA_OK ? client_.lastError() : PA_ERR_UNKNOWN;
    }
    if (error != PA_OK) closeStream();
  }
  if (error == PA_OK) return {};
  if (error == kPulseTerminated && options_.termination != nullptr) {
    options_.termination->handOver();
  }
  return startError(pulseErrorText(error));
}

void PulseAudioEngine::stop() {
  if (stream_ == nullptr) return;
  PulseThreadedLoop::Lock lock(loop_);
  closeStream();
}

void PulseAudioEngine::closeStream() {
  // Callbacks run with the loop lock held: once the stream is gone none runs.
  stopping_ = true;
  client_.setOnBroken(nullptr);
  pa_stream_set_state_callback(stream_, nullptr, nullptr);
  pa_stream_set_read_callback(stream_, nullptr, nullptr);
  pa_stream_disconnect(stream_);
  pa_stream_unref(stream_);
  stream_ = nullptr;
}

void PulseAudioEngine::captureBroken() {
  // A stream that never became ready is start()'s failure, reported there.
  if (stopping_ || !streamWasReady_ || reportedBroken_) return;
  reportedBroken_ = true;
  if (!options_.captureFailures) return;
  const PulseError error = client_.lastError();
  // The server kills a pinned stream when its source goes away.
  const std::string reason =
      error == PA_ERR_KILLED ? "The input \"" + source_.name + "\" is gone" : pulseErrorText(error);
  options_.captureFailures->captureEnded("Audio capture ended: " + reason);
}

void PulseAudioEngine::streamStateChanged(pa_stream* stream, void* self) {
  auto& engine = *static_cast<PulseAudioEngine*>(self);
  const pa_stream_state_t state = pa_stream_get_state(stream);
  if (state == PA_STREAM_READY) engine.streamWasReady_ = true;
  if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) engine.captureBroken();
  engine.client_.loop().wake();
}

void PulseAudioEngine::streamReadable(pa_stream* stream, std::size_t, void* self) {
  auto& engine = *static_cast<PulseAudioEngine*>(self);
  for (;;) {
    const void* data = nullptr;
    std::size_t bytes = 0;
    if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) return;
    if (data != nullptr) {
      engine.consume(static_cast<const std::uint8_t*>(data), bytes);
    }
    // A hole (no data) is audio the server lost: skip it.
    pa_stream_drop(stream);
  }
}

void PulseAudioEngine::consume(const std::uint8_t* data, std::size_t bytes) {
  while (bytes > 0) {
    const std::size_t take = std::min(bytes, staging_.size() - stagedBytes_);
    std::memcpy(staging_.data() + stagedBytes_, data, take);
    stagedBytes_ += take;
    data += take;
    bytes -= take;
    if (stagedBytes_ == staging_.size()) {
      deliver();
      stagedBytes_ = 0;
    }
  }
}

void PulseAudioEngine::deliver() {
  PcmBuffer& buffer = *buffer_;
  const std::uint32_t channels = buffer.format().channelCount;
  if (buffer.format().commonFormat == CommonFormat::kInt16) {
    deinterleave(staging_.data(), bufferFrames_, channels, buffer.int16ChannelData());
  } else {
    deinterleave(staging_.data(), bufferFrames_, channels, buffer.floatChannelData());
  }
  buffer.setFrameLength(bufferFrames_);
  if (tap_) tap_(buffer, AudioTime{sampleTime_});
  sampleTime_ += bufferFrames_;
}

}  // namespace tellwyn

#if defined(__SANITIZE_THREAD__)
// libpulse sets up its per-thread bookkeeping once per process, lazily, behind
// a mutex it publishes with its own atomics. The first loop thread and the
// first libpulse call on the main thread that looks up the current thread
// both go through it; ThreadSanitizer cannot see those atomics (libpulse is
// not instrumented) and reports the mutex's first lock as a race. The race is
// inside libpulse; only reports that pass through libpulse's own mutex lock
// are hidden.
extern "C" const char* __tsan_default_suppressions() { return "race:pa_mutex_lock\n"; }
#endif

namespace tellwyn {

std::unique_ptr<AudioEngineFactory> makePulseAudioEngineFactory(PulseAudioEngine::Options options) {
  return std::make_unique<PulseAudioEngineFactory>(std::move(options));
}

}  // namespace tellwyn
