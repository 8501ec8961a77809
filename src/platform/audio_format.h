#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tellwyn {

// Sample-type codes of captured audio.
enum class CommonFormat : std::uint32_t {
  kOther = 0,
  kFloat32 = 1,
  kFloat64 = 2,
  kInt16 = 3,
  kInt32 = 4,
};

// The shape of captured audio. A plain value; any thread.
struct AudioFormat {
  CommonFormat commonFormat = CommonFormat::kOther;
  double sampleRate = 0;
  std::uint32_t channelCount = 0;
  bool interleaved = false;

  // A format, or none when the rate is not positive and finite, there is no
  // channel, or the sample type is unknown.
  static std::optional<AudioFormat> make(CommonFormat commonFormat, double sampleRate,
                                         std::uint32_t channelCount, bool interleaved);

  bool operator==(const AudioFormat&) const = default;
};

// A block of PCM frames in one format, non-interleaved: one contiguous array
// of frameCapacity() samples per channel. Move-only. Owned by one thread at a
// time.
class PcmBuffer {
 public:
  // A buffer, or none when the capacity is 0 or the format is interleaved.
  static std::optional<PcmBuffer> make(const AudioFormat& format, std::uint32_t frameCapacity);

  PcmBuffer(PcmBuffer&&) noexcept = default;
  PcmBuffer& operator=(PcmBuffer&&) noexcept = default;
  PcmBuffer(const PcmBuffer&) = delete;
  PcmBuffer& operator=(const PcmBuffer&) = delete;

  const AudioFormat& format() const { return format_; }
  std::uint32_t frameCapacity() const { return frameCapacity_; }
  std::uint32_t frameLength() const { return frameLength_; }
  // Clamped to the capacity.
  void setFrameLength(std::uint32_t frames);

  // One pointer per channel, or an empty span when the buffer holds another
  // sample type.
  std::span<float* const> floatChannelData() { return floatChannels_; }
  std::span<const float* const> floatChannelData() const;
  std::span<std::int16_t* const> int16ChannelData() { return int16Channels_; }
  std::span<const std::int16_t* const> int16ChannelData() const;

 private:
  PcmBuffer(const AudioFormat& format, std::uint32_t frameCapacity);

  AudioFormat format_;
  std::uint32_t frameCapacity_ = 0;
  std::uint32_t frameLength_ = 0;
  std::vector<float> floatSamples_;
  std::vector<std::int16_t> int16Samples_;
  std::vector<std::uint8_t> otherSamples_;
  std::vector<float*> floatChannels_;
  std::vector<std::int16_t*> int16Channels_;
};

// When a buffer was captured, in frames since capture started.
struct AudioTime {
  std::uint64_t sampleTime = 0;
};

}  // namespace tellwyn
