#include "speech/audio_tap.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "protocol/number_text.h"
#include "protocol/output.h"

namespace tellwyn {
namespace {

void passThrough(const PcmBuffer& buffer, RecognitionRequest* request) {
  if (request != nullptr) request->append(buffer);
}

// Sum of squares in sample order: a 32-bit float sum for float samples, an
// exact 64-bit sum for 16-bit samples.
float channelEnergy(const float* samples, std::uint32_t frames) {
  float energy = 0.0f;
  for (std::uint32_t i = 0; i < frames; ++i) energy += samples[i] * samples[i];
  return energy;
}

std::int64_t channelEnergy(const std::int16_t* samples, std::uint32_t frames) {
  std::int64_t energy = 0;
  for (std::uint32_t i = 0; i < frames; ++i) {
    const std::int64_t sample = samples[i];
    energy += sample * sample;
  }
  return energy;
}

std::string energyText(float energy) { return shortestDecimal(energy); }
std::string energyText(std::int64_t energy) { return std::to_string(energy); }

// Selects the loudest of the first `channels` channels, logs the first
// selection of a run, and sends the copy. A later channel must be strictly
// louder; a NaN energy never wins.
template <typename Sample, typename Energy>
void sendLoudestChannel(std::span<const Sample* const> source, std::span<Sample* const> mono,
                        std::uint32_t channels, std::uint32_t frames, const PcmBuffer& monoBuffer,
                        RecognitionRequest* request, bool& hasLoggedPreferredChannel) {
  Energy best = Energy(-1);
  std::uint32_t selected = 0;
  for (std::uint32_t c = 0; c < channels; ++c) {
    const Energy energy = channelEnergy(source[c], frames);
    if (energy > best) {
      best = energy;
      selected = c;
    }
  }
  if (!hasLoggedPreferredChannel) {
    hasLoggedPreferredChannel = true;
    emitDebug("downmix select channel=" + std::to_string(selected) + " energy=" + energyText(best));
  }
  std::copy_n(source[selected], frames, mono[0]);
  if (request != nullptr) request->append(monoBuffer);
}

}  // namespace

void handleAudioBuffer(const PcmBuffer& buffer, const AudioFormat& inputFormat,
                       RecognitionRequest* request, bool& hasLoggedPreferredChannel) {
  if (inputFormat.channelCount < 2) return passThrough(buffer, request);

  const std::optional<AudioFormat> monoFormat =
      AudioFormat::make(inputFormat.commonFormat, inputFormat.sampleRate, 1, false);
  if (!monoFormat) return passThrough(buffer, request);
  const std::uint32_t frames = buffer.frameLength();
  std::optional<PcmBuffer> mono = PcmBuffer::make(*monoFormat, std::max<std::uint32_t>(frames, 1));
  if (!mono) return passThrough(buffer, request);
  mono->setFrameLength(frames);

  const std::uint32_t channels = inputFormat.channelCount;
  if (channels < 2 || frames == 0) return passThrough(buffer, request);

  // The buffer must really hold the channels the format announces; a buffer
  // with fewer channel arrays than that is passed on as it is rather than
  // read out of bounds.
  if (inputFormat.commonFormat == CommonFormat::kFloat32 &&
      buffer.floatChannelData().size() >= channels && !mono->floatChannelData().empty()) {
    return sendLoudestChannel<float, float>(buffer.floatChannelData(), mono->floatChannelData(),
                                            channels, frames, *mono, request,
                                            hasLoggedPreferredChannel);
  }
  if (inputFormat.commonFormat == CommonFormat::kInt16 &&
      buffer.int16ChannelData().size() >= channels && !mono->int16ChannelData().empty()) {
    return sendLoudestChannel<std::int16_t, std::int64_t>(
        buffer.int16ChannelData(), mono->int16ChannelData(), channels, frames, *mono, request,
        hasLoggedPreferredChannel);
  }
  passThrough(buffer, request);
}

}  // namespace tellwyn
