#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace tellwyn {

// A bounded single-producer single-consumer queue of float samples. Storage
// is allocated once, by the constructor; neither side allocates, locks or
// waits afterwards. One producer thread calls push*, one consumer thread
// calls size, pop and discard.
class SampleRing {
 public:
  // Room for at least `minCapacity` samples (rounded up to a power of two).
  explicit SampleRing(std::size_t minCapacity);
  SampleRing(const SampleRing&) = delete;
  SampleRing& operator=(const SampleRing&) = delete;

  std::size_t capacity() const { return mask_ + 1; }

  // Producer: appends all of `samples`, or nothing (and returns false) when
  // there is not room for all of them.
  bool push(std::span<const float> samples);
  // Producer: appends 16-bit samples scaled to [-1, 1), all or nothing.
  bool push(std::span<const std::int16_t> samples);

  // Consumer: samples queued and not yet popped.
  std::size_t size() const;
  // Consumer: moves up to out.size() of the oldest samples into `out` and
  // returns how many.
  std::size_t pop(std::span<float> out);
  // Consumer: drops up to `count` of the oldest samples; returns how many.
  std::size_t discard(std::size_t count);

 private:
  template <typename Sample, typename Convert>
  bool pushConverted(std::span<const Sample> samples, Convert convert);

  std::unique_ptr<float[]> data_;
  std::size_t mask_;
  // Samples ever written and ever read; each only grows. Kept on separate
  // cache lines so the two sides do not contend.
  alignas(64) std::atomic<std::uint64_t> written_{0};
  alignas(64) std::atomic<std::uint64_t> read_{0};
};

}  // namespace tellwyn
