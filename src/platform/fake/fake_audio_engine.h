#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/audio_engine.h"
#include "platform/audio_format.h"
#include "platform/error.h"
#include "platform/fake/call_log.h"

namespace tellwyn {

// A scriptable audio engine factory. Every engine it makes reports
// `inputFormat`, fails start() with `startError` when set, and records its
// calls ("makeEngine" with " <uid>" when a device is named, "inputFormat",
// "installTap", "prepare", "start", "stop", "removeTap") in `log` when given.
// makeEngine fails with `makeError` when set.
//
// Audio reaches the installed tap in one of two ways: pushBuffer() calls it on
// the test's thread; or, when captureBuffers is not empty, start() launches a
// capture thread that feeds those buffers to the tap over and over until
// stop(), which joins it. Like a real engine, stop() returns only once no tap
// call runs. The factory and its engines are driven from the test's (main)
// thread.
class FakeAudioEngineFactory : public AudioEngineFactory {
 public:
  explicit FakeAudioEngineFactory(CallLog* log = nullptr);
  ~FakeAudioEngineFactory() override;
  FakeAudioEngineFactory(const FakeAudioEngineFactory&) = delete;
  FakeAudioEngineFactory& operator=(const FakeAudioEngineFactory&) = delete;

  Result<std::unique_ptr<AudioEngine>> makeEngine(
      const std::optional<std::string>& deviceUID) override;

  // Calls the installed tap with `buffer` on this thread. False when no tap is
  // installed.
  bool pushBuffer(const PcmBuffer& buffer, AudioTime time = {});
  bool tapInstalled() const;
  // The bufferSize and format of the last installTap.
  std::uint32_t tapBufferSize() const;
  std::optional<AudioFormat> tapFormat() const;
  int enginesMade() const;
  bool running() const;
  // Buffers handed to the tap by capture threads so far.
  std::uint64_t capturedCount() const;
  // Waits (polling, up to `timeoutSeconds`) until the capture thread has
  // handed over at least `count` buffers. False on timeout.
  bool waitForCaptured(std::uint64_t count, double timeoutSeconds = 30) const;

  // Scripted behaviour, read when the engine is made or started.
  AudioFormat inputFormat{CommonFormat::kFloat32, 48000, 1, false};
  std::optional<Error> makeError;
  std::optional<Error> startError;
  // Set before start(); not changed while a capture thread runs.
  std::vector<PcmBuffer> captureBuffers;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace tellwyn
