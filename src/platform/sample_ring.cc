#include "platform/sample_ring.h"

#include <algorithm>
#include <bit>

namespace tellwyn {

SampleRing::SampleRing(std::size_t minCapacity)
    : data_(std::make_unique<float[]>(std::bit_ceil(std::max<std::size_t>(minCapacity, 2)))),
      mask_(std::bit_ceil(std::max<std::size_t>(minCapacity, 2)) - 1) {}

template <typename Sample, typename Convert>
bool SampleRing::pushConverted(std::span<const Sample> samples, Convert convert) {
  const std::uint64_t written = written_.load(std::memory_order_relaxed);
  const std::uint64_t read = read_.load(std::memory_order_acquire);
  if (samples.size() > capacity() - (written - read)) return false;
  std::size_t at = static_cast<std::size_t>(written) & mask_;
  for (const Sample sample : samples) {
    data_[at] = convert(sample);
    at = (at + 1) & mask_;
  }
  written_.store(written + samples.size(), std::memory_order_release);
  return true;
}

bool SampleRing::push(std::span<const float> samples) {
  return pushConverted(samples, [](float sample) { return sample; });
}

bool SampleRing::push(std::span<const std::int16_t> samples) {
  return pushConverted(samples,
                       [](std::int16_t sample) { return static_cast<float>(sample) / 32768.0f; });
}

std::size_t SampleRing::size() const {
  return static_cast<std::size_t>(written_.load(std::memory_order_acquire) -
                                  read_.load(std::memory_order_relaxed));
}

std::size_t SampleRing::pop(std::span<float> out) {
  const std::uint64_t read = read_.load(std::memory_order_relaxed);
  const std::size_t count = std::min(out.size(), size());
  std::size_t at = static_cast<std::size_t>(read) & mask_;
  const std::size_t first = std::min(count, capacity() - at);
  std::copy_n(data_.get() + at, first, out.begin());
  std::copy_n(data_.get(), count - first, out.begin() + static_cast<std::ptrdiff_t>(first));
  read_.store(read + count, std::memory_order_release);
  return count;
}

std::size_t SampleRing::discard(std::size_t count) {
  count = std::min(count, size());
  read_.store(read_.load(std::memory_order_relaxed) + count, std::memory_order_release);
  return count;
}

}  // namespace tellwyn
