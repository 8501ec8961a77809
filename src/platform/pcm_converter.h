#pragma once

#include <cstdint>
#include <span>
#include <vector>

struct SpeexResamplerState_;

namespace tellwyn {

// Turns mono float samples in [-1, 1) at any rate into the recognizer's
// 16 kHz 16-bit samples: speexdsp's resampler (quality 5) when the rate is
// not already 16 kHz, then scaling, rounding and clipping. One thread.
class PcmConverter {
 public:
  static constexpr std::uint32_t kOutputRate = 16000;

  explicit PcmConverter(double inputRate);
  ~PcmConverter();
  PcmConverter(const PcmConverter&) = delete;
  PcmConverter& operator=(const PcmConverter&) = delete;

  // Replaces `out` with the converted samples for `in`.
  void convert(std::span<const float> in, std::vector<std::int16_t>& out);
  // Replaces `out` with what the resampler still holds (its delay line),
  // pushed out by silence. Call once after the last convert.
  void flush(std::vector<std::int16_t>& out);

 private:
  void resample(std::span<const float> in, std::vector<std::int16_t>& out);

  SpeexResamplerState_* resampler_ = nullptr;  // none at 16 kHz
  std::uint32_t inputRate_;
  std::vector<float> resampled_;
};

}  // namespace tellwyn
