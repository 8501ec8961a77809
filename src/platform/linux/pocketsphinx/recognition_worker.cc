#include "platform/linux/pocketsphinx/recognition_worker.h"

#include <cmath>
#include <cstdio>
#include <vector>

#include "platform/linux/pocketsphinx/pocketsphinx_decoder.h"
#include "platform/linux/pocketsphinx/settled_hypothesis.h"
#include "platform/pcm_converter.h"

namespace tellwyn {
namespace {

// Samples taken from the ring per step: 128 ms, what pocketsphinx's own
// continuous reader feeds at a time.
constexpr double kStepSeconds = 0.128;

std::string secondsText(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", seconds);
  return text;
}

}  // namespace

void CumulativeTranscript::commit(const std::string& utterance) { committed_ = with(utterance); }

std::string CumulativeTranscript::with(const std::string& hypothesis) const {
  if (hypothesis.empty()) return committed_;
  if (committed_.empty()) return hypothesis;
  return committed_ + " " + hypothesis;
}

RecognitionWorker::RecognitionWorker(MainQueue& mainQueue,
                                     std::shared_ptr<PocketsphinxLibrary> library, ModelFiles model,
                                     std::shared_ptr<AudioInbox> inbox,
                                     std::shared_ptr<RecognitionDelivery> delivery)
    : RecognitionWorker(
          mainQueue,
          [library = std::move(library),
           model = std::move(model)]() -> Result<std::unique_ptr<UtteranceDecoder>> {
            auto decoder = PocketsphinxDecoder::load(library, model);
            if (!decoder) return decoder.error();
            return std::unique_ptr<UtteranceDecoder>(std::move(decoder).value());
          },
          std::move(inbox), std::move(delivery)) {}

void RecognitionWorker::cancel() {
  cancelled_.store(true);
  inbox_->wake();
}

void RecognitionWorker::run() {
  if (!inbox_->claim()) {
    report(std::nullopt,
           Error{"tellwyn.recognizer", 3, "Recognition request is already used by another task"});
    return;
  }
  // cancel() stores its flag before it reads loading_; this stores loading_
  // before it reads the flag, so either the load is skipped or the canceller
  // knows to leave this thread to finish on its own.
  loading_.store(true);
  if (cancelled_.load()) return;
  auto decoder = loadDecoder_();
  loading_.store(false);
  if (cancelled_.load()) return;
  if (!decoder) {
    report(std::nullopt, decoder.error());
    return;
  }
  decode(*decoder.value());
}

void RecognitionWorker::decode(UtteranceDecoder& decoder) {
  CumulativeTranscript transcript;
  SettledHypothesis utterance;
  std::string lastReported;
  std::optional<PcmConverter> converter;
  std::vector<float> step;
  std::vector<std::int16_t> pcm;
  bool uttStarted = false;

  decoder.startUtterance();
  for (;;) {
    const std::uint32_t seen = inbox_->wakeCount();
    if (cancelled_.load()) return;
    if (auto failure = inbox_->takeCaptureFailure()) {
      report(std::nullopt, Error{"tellwyn.capture", 1, std::move(*failure)});
    }
    if (const std::uint64_t rejected = inbox_->takeRejectedFrames()) countDropped(rejected);

    SampleRing* ring = inbox_->ring();
    std::size_t popped = 0;
    if (ring != nullptr) {
      if (!converter) {
        converter.emplace(inbox_->sampleRate());
        step.resize(static_cast<std::size_t>(std::ceil(inbox_->sampleRate() * kStepSeconds)));
      }
      dropBacklog(*ring);
      popped = ring->pop(step);
    }

    if (popped > 0) {
      converter->convert(std::span<const float>(step.data(), popped), pcm);
      decoder.process(pcm);
      const bool inSpeech = decoder.inSpeech();
      if (inSpeech) uttStarted = true;
      if (!inSpeech && uttStarted) {
        // The speaker paused: settle this utterance into the transcript.
        decoder.endUtterance();
        transcript.commit(utterance.finish(decoder.words()));
        decoder.startUtterance();
        uttStarted = false;
      } else if (uttStarted) {
        utterance.update(decoder.words(), decoder.frames());
      }
      if (inbox_->reportPartialResults()) {
        std::string text = transcript.with(utterance.text());
        if (text != lastReported) {
          lastReported = text;
          report(RecognitionResult{std::move(text), false}, std::nullopt);
        }
      }
      continue;
    }

    if (inbox_->ended()) {
      // Everything appended before endAudio is in the ring by now.
      if (ring != nullptr && ring->size() > 0) continue;
      if (converter) {
        converter->flush(pcm);
        decoder.process(pcm);
      }
      decoder.endUtterance();
      transcript.commit(utterance.finish(decoder.words()));
      report(RecognitionResult{transcript.committed(), true}, std::nullopt);
      return;
    }
    inbox_->waitForWake(seen);
  }
}

void RecognitionWorker::dropBacklog(SampleRing& ring) {
  const std::size_t queued = ring.size();
  if (queued > inbox_->backlogLimit()) countDropped(ring.discard(queued - inbox_->backlogLimit()));
}

void RecognitionWorker::countDropped(std::uint64_t frames) {
  droppedFrames_ += frames;
  if (reportedDrop_) return;
  reportedDrop_ = true;
  const double seconds = static_cast<double>(droppedFrames_) / inbox_->sampleRate();
  report(std::nullopt,
         Error{"tellwyn.recognizer", 4,
               "Recognition fell behind; dropped " + secondsText(seconds) + " s of audio"});
}

void RecognitionWorker::report(std::optional<RecognitionResult> result,
                               std::optional<Error> error) {
  if (cancelled_.load()) return;
  mainQueue_.post([delivery = delivery_, result = std::move(result), error = std::move(error)] {
    if (delivery->cancelled || !delivery->handler) return;
    // A copy: the handler may cancel the task, which releases the original.
    const RecognitionHandler handler = delivery->handler;
    handler(result, error);
  });
}

}  // namespace tellwyn
