#include "platform/linux/pocketsphinx/audio_inbox.h"

#include <algorithm>
#include <cmath>

namespace tellwyn {

void AudioInbox::append(const PcmBuffer& buffer) {
  const std::uint32_t frames = buffer.frameLength();
  if (frames == 0 || ended_.load(std::memory_order_acquire)) return;
  const AudioFormat& format = buffer.format();
  if (!ready_.load(std::memory_order_relaxed)) {
    if (!(format.sampleRate > 0) || !std::isfinite(format.sampleRate)) return;
    sampleRate_ = format.sampleRate;
    backlogLimit_ = static_cast<std::size_t>(std::ceil(backlogSeconds_ * sampleRate_));
    // A second of room past the limit, and at least a few buffers, so the
    // decoder can drop the oldest audio before the ring fills.
    const auto slack = std::max<std::size_t>(static_cast<std::size_t>(sampleRate_), 4 * frames);
    ring_ = std::make_unique<SampleRing>(backlogLimit_ + slack);
    ready_.store(true, std::memory_order_release);
  } else if (format.sampleRate != sampleRate_) {
    return;
  }

  bool pushed = false;
  if (const auto floats = buffer.floatChannelData(); !floats.empty()) {
    pushed = ring_->push(std::span<const float>(floats[0], frames));
  } else if (const auto ints = buffer.int16ChannelData(); !ints.empty()) {
    pushed = ring_->push(std::span<const std::int16_t>(ints[0], frames));
  } else {
    return;  // a sample type the recognizer does not read
  }
  if (!pushed) rejected_.fetch_add(frames, std::memory_order_relaxed);
  wake();
}

void AudioInbox::endAudio() {
  ended_.store(true, std::memory_order_release);
  wake();
}

void AudioInbox::captureEnded(const std::string& description) {
  int expected = 0;
  if (!failureState_.compare_exchange_strong(expected, 1)) return;  // only the first counts
  failureDescription_ = description;
  failureState_.store(2, std::memory_order_release);
  wake();
}

std::optional<std::string> AudioInbox::takeCaptureFailure() {
  int expected = 2;
  if (!failureState_.compare_exchange_strong(expected, 3, std::memory_order_acq_rel)) {
    return std::nullopt;
  }
  return std::move(failureDescription_);
}

void AudioInbox::wake() {
  wake_.fetch_add(1, std::memory_order_release);
  wake_.notify_all();
}

}  // namespace tellwyn
