#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio_engine.h"
#include "platform/capture_failure_notice.h"
#include "platform/linux/pulse/pulse_engine_connection.h"

namespace tellwyn {

// Captures the sound server's default source through libpulse, in the
// source's own rate and channel count: as 16-bit samples when the source is
// 16-bit, else as 32-bit float (the server converts). The read callback runs
// on the libpulse loop thread, gathers the interleaved data and hands the tap
// exactly bufferSize-frame non-interleaved buffers, reusing buffers made at
// start. When capture ends by itself (server gone, source removed) the
// engine tells `captureFailures`.
//
// Threads: every method on the main thread; the tap block on the loop thread.
class PulseAudioEngine : public AudioEngine {
 public:
  explicit PulseAudioEngine(std::shared_ptr<CaptureFailureNotice> captureFailures);
  ~PulseAudioEngine() override;
  PulseAudioEngine(const PulseAudioEngine&) = delete;
  PulseAudioEngine& operator=(const PulseAudioEngine&) = delete;

  // The default source's format; without a server or a default source, an
  // empty format (no channels) that start() then refuses.
  AudioFormat inputFormat() override;
  // While capture runs, only the block changes; the size and format apply
  // from the next start().
  void installTap(std::uint32_t bufferSize, const AudioFormat& format, TapBlock block) override;
  void removeTap() override;
  void prepare() override {}
  Status start() override;
  void stop() override;

 private:
  static void streamStateChanged(pa_stream* stream, void* self);
  static void streamReadable(pa_stream* stream, std::size_t bytes, void* self);
  Status openConnection();
  void captureBroken();
  void consume(const std::uint8_t* data, std::size_t bytes);
  void deliver();

  const std::shared_ptr<CaptureFailureNotice> captureFailures_;
  std::unique_ptr<PulseEngineConnection> connection_;
  std::optional<PulseSourceInfo> source_;  // as inputFormat() found it
  std::string unavailableReason_;          // why inputFormat() found none

  // Set on the main thread while no capture runs (or under the loop lock).
  TapBlock tap_;
  AudioFormat tapFormat_;
  std::uint32_t bufferFrames_ = 1024;
  pa_stream* stream_ = nullptr;

  // Loop thread while capture runs.
  std::optional<PcmBuffer> buffer_;
  std::vector<std::uint8_t> staging_;  // one buffer of interleaved frames
  std::size_t stagedBytes_ = 0;
  std::size_t bytesPerSample_ = 0;
  std::uint64_t sampleTime_ = 0;
  bool stopping_ = false;  // under the loop lock
  bool streamWasReady_ = false;
  bool reportedBroken_ = false;
};

// Makes PulseAudio engines that tell `captureFailures` (when given) when a
// capture ends by itself.
std::unique_ptr<AudioEngineFactory> makePulseAudioEngineFactory(
    std::shared_ptr<CaptureFailureNotice> captureFailures = nullptr);

}  // namespace tellwyn
