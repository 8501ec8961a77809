#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/audio_format.h"
#include "platform/capture_failure_notice.h"
#include "platform/sample_ring.h"

namespace tellwyn {

// The audio of one recognition request on its way from the capture thread to
// the decoder thread: channel 0 of every appended buffer as float samples in a
// ring that holds a little more than `backlogSeconds` of audio at the input
// rate, plus the request's flags and a capture failure told by the engine.
//
// Threads: append runs on the capture thread and never blocks; it allocates
// the ring on the first buffer and never again. setReportPartialResults and
// endAudio run on the main thread, captureEnded on the engine's thread, and
// the rest on the one decoder thread.
class AudioInbox : public CaptureFailureNotice::Listener {
 public:
  static constexpr double kDefaultBacklogSeconds = 10;

  explicit AudioInbox(double backlogSeconds = kDefaultBacklogSeconds)
      : backlogSeconds_(backlogSeconds) {}

  // Capture thread. Buffers after endAudio, without frames or in another
  // rate than the first are not queued; a full ring rejects the buffer and
  // counts its frames as dropped.
  void append(const PcmBuffer& buffer);

  void setReportPartialResults(bool report) { reportPartial_.store(report); }
  bool reportPartialResults() const { return reportPartial_.load(); }
  void endAudio();
  bool ended() const { return ended_.load(std::memory_order_acquire); }

  void captureEnded(const std::string& description) override;

  // Decoder thread. The ring, once the first buffer has arrived.
  SampleRing* ring() { return ready_.load(std::memory_order_acquire) ? ring_.get() : nullptr; }
  // The input rate; valid once ring() is not null.
  double sampleRate() const { return sampleRate_; }
  // How many samples the decoder may fall behind before the oldest go.
  std::size_t backlogLimit() const { return backlogLimit_; }
  // Frames that append rejected since the last call.
  std::uint64_t takeRejectedFrames() { return rejected_.exchange(0); }
  // The capture failure's description, once.
  std::optional<std::string> takeCaptureFailure();
  // Claims the inbox for one decoder; false when another has it.
  bool claim() { return !claimed_.exchange(true); }

  // Waking the decoder: it reads wakeCount(), checks for work and, finding
  // none, waits until the count moves. Every change above moves it.
  std::uint32_t wakeCount() const { return wake_.load(std::memory_order_acquire); }
  void waitForWake(std::uint32_t seen) const { wake_.wait(seen, std::memory_order_acquire); }
  // Any thread; never blocks.
  void wake();

 private:
  const double backlogSeconds_;
  std::unique_ptr<SampleRing> ring_;  // written by the first append, then read-only
  double sampleRate_ = 0;
  std::size_t backlogLimit_ = 0;
  std::atomic<bool> ready_{false};
  std::atomic<bool> reportPartial_{true};
  std::atomic<bool> ended_{false};
  std::atomic<bool> claimed_{false};
  std::atomic<std::uint64_t> rejected_{0};
  // 0: no failure; 1: being written; 2: written; 3: taken.
  std::atomic<int> failureState_{0};
  std::string failureDescription_;
  std::atomic<std::uint32_t> wake_{0};
};

}  // namespace tellwyn
