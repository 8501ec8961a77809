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
  explicit PulseAudioEngineFactory(std::shared_ptr<CaptureFailureNotice> captureFailures)
      : captureFailures_(std::move(captureFailures)) {}
  std::unique_ptr<AudioEngine> makeEngine() override {
    return std::make_unique<PulseAudioEngine>(captureFailures_);
  }

 private:
  const std::shared_ptr<CaptureFailureNotice> captureFailures_;
};

}  // namespace

PulseAudioEngine::PulseAudioEngine(std::shared_ptr<CaptureFailureNotice> captureFailures)
    : captureFailures_(std::move(captureFailures)) {}

PulseAudioEngine::~PulseAudioEngine() { stop(); }

Status PulseAudioEngine::openConnection() {
  if (connection_ && [&] {
        PulseEngineConnection::Lock lock(*connection_);
        return connection_->connected();
      }()) {
    return {};
  }
  connection_.reset();
  auto opened = PulseEngineConnection::open();
  if (!opened) return opened.error();
  connection_ = std::move(opened).value();
  return {};
}

AudioFormat PulseAudioEngine::inputFormat() {
  source_.reset();
  if (Status status = openConnection(); !status) {
    unavailableReason_ = status.error().description;
    return AudioFormat{};
  }
  auto source = connection_->defaultSource();
  if (!source) {
    unavailableReason_ = source.error().description;
    return AudioFormat{};
  }
  const auto format = formatOf(source.value().sampleSpec);
  if (!format) {
    unavailableReason_ = "The default input has no usable format";
    return AudioFormat{};
  }
  source_ = std::move(source).value();
  return *format;
}

void PulseAudioEngine::installTap(std::uint32_t bufferSize, const AudioFormat& format,
                                  TapBlock block) {
  TapBlock previous;
  if (stream_ != nullptr) {
    PulseEngineConnection::Lock lock(*connection_);
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
    PulseEngineConnection::Lock lock(*connection_);
    previous = std::exchange(tap_, nullptr);
  } else {
    previous = std::exchange(tap_, nullptr);
  }
}

Status PulseAudioEngine::start() {
  if (stream_ != nullptr) return {};
  AudioFormat format = tapFormat_;
  if (!capturable(format)) {
    // No tap (or the empty format of a missing server): capture the source
    // as it is, if there is one now.
    format = inputFormat();
    if (!capturable(format)) return startError(unavailableReason_);
  }
  if (Status status = openConnection(); !status) return startError(status.error().description);
  if (!source_) {
    auto source = connection_->defaultSource();
    if (!source) return startError(source.error().description);
    source_ = std::move(source).value();
  }

  pa_sample_spec spec{};
  spec.format = format.commonFormat == CommonFormat::kInt16 ? PA_SAMPLE_S16NE : PA_SAMPLE_FLOAT32NE;
  spec.rate = static_cast<std::uint32_t>(std::lround(format.sampleRate));
  spec.channels = static_cast<std::uint8_t>(format.channelCount);
  pa_channel_map map = source_->channelMap;
  if (map.channels != spec.channels) {
    pa_channel_map_init_extend(&map, spec.channels, PA_CHANNEL_MAP_DEFAULT);
  }

  // Everything the loop thread needs, made before capture starts.
  auto buffer = PcmBuffer::make(
      *AudioFormat::make(format.commonFormat, format.sampleRate, format.channelCount, false),
      bufferFrames_);
  if (!buffer) return startError("Unusable capture format");
  buffer_ = std::move(buffer);
  bytesPerSample_ = pa_sample_size(&spec);
  staging_.assign(pa_frame_size(&spec) * bufferFrames_, 0);
  stagedBytes_ = 0;
  sampleTime_ = 0;
  reportedBroken_ = false;
  streamWasReady_ = false;

  PulseEngineConnection::Lock lock(*connection_);
  stopping_ = false;
  stream_ = pa_stream_new(connection_->context(), kStreamName, &spec, &map);
  if (stream_ == nullptr) return startError(connection_->lastError());
  pa_stream_set_state_callback(stream_, &streamStateChanged, this);
  pa_stream_set_read_callback(stream_, &streamReadable, this);
  connection_->setOnBroken([this] { captureBroken(); });

  pa_buffer_attr attributes{};
  attributes.maxlength = static_cast<std::uint32_t>(-1);
  attributes.tlength = static_cast<std::uint32_t>(-1);
  attributes.prebuf = static_cast<std::uint32_t>(-1);
  attributes.minreq = static_cast<std::uint32_t>(-1);
  attributes.fragsize = static_cast<std::uint32_t>(staging_.size());
  bool ready = pa_stream_connect_record(stream_, source_->name.c_str(), &attributes,
                                        PA_STREAM_ADJUST_LATENCY) >= 0;
  while (ready) {
    const pa_stream_state_t state = pa_stream_get_state(stream_);
    if (state == PA_STREAM_READY) break;
    if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) ready = false;
    if (ready) connection_->wait();
  }
  if (!ready) {
    const std::string reason = connection_->lastError();
    stopping_ = true;
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
    connection_->setOnBroken(nullptr);
    return startError(reason);
  }
  return {};
}

void PulseAudioEngine::stop() {
  if (stream_ != nullptr) {
    PulseEngineConnection::Lock lock(*connection_);
    // Callbacks run with this lock held: once the stream is gone none runs.
    stopping_ = true;
    connection_->setOnBroken(nullptr);
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
  }
  // Ends the loop thread; the next inputFormat() or start() connects anew.
  connection_.reset();
  source_.reset();
}

void PulseAudioEngine::captureBroken() {
  // A stream that never became ready is start()'s failure, reported there.
  if (stopping_ || !streamWasReady_ || reportedBroken_) return;
  reportedBroken_ = true;
  if (captureFailures_) {
    captureFailures_->captureEnded("Audio capture ended: " + connection_->lastError());
  }
}

void PulseAudioEngine::streamStateChanged(pa_stream* stream, void* self) {
  auto& engine = *static_cast<PulseAudioEngine*>(self);
  const pa_stream_state_t state = pa_stream_get_state(stream);
  if (state == PA_STREAM_READY) engine.streamWasReady_ = true;
  if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) engine.captureBroken();
  engine.connection_->signal();
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

std::unique_ptr<AudioEngineFactory> makePulseAudioEngineFactory(
    std::shared_ptr<CaptureFailureNotice> captureFailures) {
  return std::make_unique<PulseAudioEngineFactory>(std::move(captureFailures));
}

}  // namespace tellwyn
