#include "platform/audio_format.h"

#include <algorithm>
#include <cmath>

namespace tellwyn {
namespace {

std::size_t bytesPerSample(CommonFormat format) {
  switch (format) {
    case CommonFormat::kInt16:
      return 2;
    case CommonFormat::kFloat32:
    case CommonFormat::kInt32:
      return 4;
    case CommonFormat::kFloat64:
      return 8;
    case CommonFormat::kOther:
      break;
  }
  return 0;
}

}  // namespace

std::optional<AudioFormat> AudioFormat::make(CommonFormat commonFormat, double sampleRate,
                                             std::uint32_t channelCount, bool interleaved) {
  if (bytesPerSample(commonFormat) == 0 || !std::isfinite(sampleRate) || sampleRate <= 0 ||
      channelCount == 0) {
    return std::nullopt;
  }
  return AudioFormat{commonFormat, sampleRate, channelCount, interleaved};
}

std::optional<PcmBuffer> PcmBuffer::make(const AudioFormat& format, std::uint32_t frameCapacity) {
  if (frameCapacity == 0 || format.interleaved || format.channelCount == 0 ||
      bytesPerSample(format.commonFormat) == 0) {
    return std::nullopt;
  }
  return PcmBuffer(format, frameCapacity);
}

PcmBuffer::PcmBuffer(const AudioFormat& format, std::uint32_t frameCapacity)
    : format_(format), frameCapacity_(frameCapacity) {
  const std::size_t samples = std::size_t{format.channelCount} * frameCapacity;
  switch (format.commonFormat) {
    case CommonFormat::kFloat32:
      floatSamples_.assign(samples, 0.0f);
      floatChannels_.reserve(format.channelCount);
      for (std::uint32_t c = 0; c < format.channelCount; ++c) {
        floatChannels_.push_back(floatSamples_.data() + std::size_t{c} * frameCapacity);
      }
      break;
    case CommonFormat::kInt16:
      int16Samples_.assign(samples, 0);
      int16Channels_.reserve(format.channelCount);
      for (std::uint32_t c = 0; c < format.channelCount; ++c) {
        int16Channels_.push_back(int16Samples_.data() + std::size_t{c} * frameCapacity);
      }
      break;
    default:
      otherSamples_.assign(samples * bytesPerSample(format.commonFormat), 0);
      break;
  }
}

void PcmBuffer::setFrameLength(std::uint32_t frames) {
  frameLength_ = std::min(frames, frameCapacity_);
}

std::span<const float* const> PcmBuffer::floatChannelData() const {
  return {const_cast<const float* const*>(floatChannels_.data()), floatChannels_.size()};
}

std::span<const std::int16_t* const> PcmBuffer::int16ChannelData() const {
  return {const_cast<const std::int16_t* const*>(int16Channels_.data()), int16Channels_.size()};
}

}  // namespace tellwyn
