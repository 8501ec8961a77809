#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio_engine.h"
#include "platform/capture_failure_notice.h"
#include "platform/linux/pulse/pulse_client.h"
#include "platform/termination_watch.h"

namespace tellwyn {

// How long each wait on the sound server while an engine is made and started
// may last: connecting, each query, the record stream becoming ready.
inline constexpr std::chrono::milliseconds kPulseEngineStepTimeout{3000};

// Captures one source of the sound server through libpulse, in the source's
// own rate and channel count: as 16-bit samples when the source is 16-bit,
// else as 32-bit float (the server converts). A named source is recorded by
// name and the stream is pinned to it: the server neither moves it when the
// default changes nor to another source when this one goes away (capture
// then ends). Without a name, the engine records the server's default source
// and follows the server when it moves the stream.
//
// The read callback runs on the libpulse loop thread, gathers the
// interleaved data and hands the tap exactly bufferSize-frame
// non-interleaved buffers, reusing buffers made at start. When capture ends
// by itself (server gone, source removed) the engine tells `captureFailures`.
//
// Every wait on the server has a deadline of `stepTimeout`, and gives up when
// termination is requested: the engine then releases what it holds and hands
// over to the termination handler.
//
// Threads: every method on the main thread; the tap block on the loop thread.
class PulseAudioEngine : public AudioEngine {
 public:
  struct Options {
    // The server to use; absent: libpulse's own choice.
    std::optional<std::string> server;
    std::chrono::milliseconds stepTimeout = kPulseEngineStepTimeout;
    TerminationWatch* termination = nullptr;
    std::shared_ptr<CaptureFailureNotice> captureFailures;
  };

  // Connects and finds the source to record (`deviceUID`, or the default
  // source), or fails with "Audio capture could not start: <why>".
  static Result<std::unique_ptr<AudioEngine>> open(const std::optional<std::string>& deviceUID,
                                                   Options options);

  ~PulseAudioEngine() override;
  PulseAudioEngine(const PulseAudioEngine&) = delete;
  PulseAudioEngine& operator=(const PulseAudioEngine&) = delete;

  // The format of the source found when the engine was made.
  AudioFormat inputFormat() override { return sourceFormat_; }
  // While capture runs, only the block changes; the size and format apply
  // from the next start().
  void installTap(std::uint32_t bufferSize, const AudioFormat& format, TapBlock block) override;
  void removeTap() override;
  void prepare() override {}
  Status start() override;
  void stop() override;

  struct Key {
   private:
    Key() = default;
    friend class PulseAudioEngine;
  };
  PulseAudioEngine(Key, Options options, bool pinned);

 private:
  PulseError find(const std::optional<std::string>& deviceUID);
  static void streamStateChanged(pa_stream* stream, void* self);
  static void streamReadable(pa_stream* stream, std::size_t bytes, void* self);
  void closeStream();
  void captureBroken();
  void consume(const std::uint8_t* data, std::size_t bytes);
  void deliver();

  const Options options_;
  const bool pinned_;
  PulseThreadedLoop loop_;
  PulseClient client_;  // after loop_: goes first
  PulseSource source_;
  AudioFormat sourceFormat_;

  // Set on the main thread while no capture runs (or under the loop lock).
  TapBlock tap_;
  AudioFormat tapFormat_;
  std::uint32_t bufferFrames_ = 1024;
  pa_stream* stream_ = nullptr;

  // Loop thread while capture runs.
  std::optional<PcmBuffer> buffer_;
  std::vector<std::uint8_t> staging_;  // one buffer of interleaved frames
  std::size_t stagedBytes_ = 0;
  std::uint64_t sampleTime_ = 0;
  bool stopping_ = false;  // under the loop lock
  bool streamWasReady_ = false;
  bool reportedBroken_ = false;
};

// Makes PulseAudio engines with these options (the server, the step deadline,
// the termination watch, and whom to tell when a capture ends by itself).
std::unique_ptr<AudioEngineFactory> makePulseAudioEngineFactory(
    PulseAudioEngine::Options options = {});

}  // namespace tellwyn
