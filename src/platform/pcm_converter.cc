#include "platform/pcm_converter.h"

#include <speex/speex_resampler.h>

#include <algorithm>
#include <cmath>

namespace tellwyn {
namespace {

constexpr int kResamplerQuality = 5;

std::int16_t toInt16(float sample) {
  const float scaled = std::nearbyint(sample * 32768.0f);
  if (!(scaled > -32768.0f)) return -32768;  // also NaN
  if (scaled > 32767.0f) return 32767;
  return static_cast<std::int16_t>(scaled);
}

}  // namespace

PcmConverter::PcmConverter(double inputRate)
    : inputRate_(static_cast<std::uint32_t>(std::clamp(std::lround(inputRate), 1L, 1L << 20))) {
  if (inputRate_ != kOutputRate) {
    int error = 0;
    resampler_ = speex_resampler_init(1, inputRate_, kOutputRate, kResamplerQuality, &error);
    // The resampler starts with a delay line of zeros; skip them so the
    // output lines up with the input.
    if (resampler_ != nullptr) speex_resampler_skip_zeros(resampler_);
  }
}

PcmConverter::~PcmConverter() {
  if (resampler_ != nullptr) speex_resampler_destroy(resampler_);
}

void PcmConverter::convert(std::span<const float> in, std::vector<std::int16_t>& out) {
  out.clear();
  if (resampler_ == nullptr) {
    // 16 kHz already (or a resampler that could not be made): samples as they are.
    out.resize(in.size());
    std::transform(in.begin(), in.end(), out.begin(), toInt16);
    return;
  }
  resample(in, out);
}

void PcmConverter::flush(std::vector<std::int16_t>& out) {
  out.clear();
  if (resampler_ == nullptr) return;
  const std::vector<float> silence(
      static_cast<std::size_t>(speex_resampler_get_input_latency(resampler_)), 0.0f);
  resample(silence, out);
}

void PcmConverter::resample(std::span<const float> in, std::vector<std::int16_t>& out) {
  const std::size_t room =
      static_cast<std::size_t>(in.size() * std::uint64_t{kOutputRate} / inputRate_) + 16;
  resampled_.resize(room);
  std::size_t consumed = 0;
  while (consumed < in.size()) {
    spx_uint32_t inLength = static_cast<spx_uint32_t>(in.size() - consumed);
    spx_uint32_t outLength = static_cast<spx_uint32_t>(resampled_.size());
    speex_resampler_process_float(resampler_, 0, in.data() + consumed, &inLength, resampled_.data(),
                                  &outLength);
    std::transform(resampled_.begin(), resampled_.begin() + outLength, std::back_inserter(out),
                   toInt16);
    if (inLength == 0 && outLength == 0) break;  // no progress: give up on the rest
    consumed += inLength;
  }
}

}  // namespace tellwyn
