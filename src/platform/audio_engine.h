#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/audio_format.h"
#include "platform/error.h"

namespace tellwyn {

// Receives every captured buffer on the capture thread. It must not block.
using TapBlock = std::function<void(const PcmBuffer& buffer, AudioTime time)>;

// Captures one input device: the device it was made for, or the system's
// current default input device. Control calls run on the main thread; the tap
// block runs on the engine's capture thread.
class AudioEngine {
 public:
  virtual ~AudioEngine() = default;

  // The input node's output format for bus 0: the capture format.
  virtual AudioFormat inputFormat() = 0;

  // Installs the one tap on bus 0; buffers of about `bufferSize` frames in
  // `format` reach `block`, non-interleaved.
  virtual void installTap(std::uint32_t bufferSize, const AudioFormat& format, TapBlock block) = 0;

  // Removes the tap on bus 0. Once it returns the block runs no more.
  virtual void removeTap() = 0;

  virtual void prepare() = 0;

  // Starts capture, or fails with a description of why it could not.
  virtual Status start() = 0;

  // Stops capture. Once it returns no tap block is running and none will run
  // again until the next start().
  virtual void stop() = 0;
};

// Creates audio engines. Main thread.
class AudioEngineFactory {
 public:
  virtual ~AudioEngineFactory() = default;
  // An engine that captures the device with `deviceUID`, and only that
  // device, or the default input when absent. Fails with a description when
  // the device (or a default input) cannot be found or the audio system
  // cannot be reached.
  virtual Result<std::unique_ptr<AudioEngine>> makeEngine(
      const std::optional<std::string>& deviceUID) = 0;
};

}  // namespace tellwyn
