#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/error.h"
#include "platform/linux/pocketsphinx/audio_inbox.h"
#include "platform/linux/pocketsphinx/model_locator.h"
#include "platform/linux/pocketsphinx/utterance_decoder.h"
#include "platform/main_queue.h"
#include "platform/speech_recognition.h"

namespace tellwyn {

class PocketsphinxLibrary;

// Where a task's reports go: the handler, called on the main thread unless
// the task has been cancelled. Main thread only.
struct RecognitionDelivery {
  RecognitionHandler handler;
  bool cancelled = false;
};

// Committed utterances joined by single spaces, and the whole-task text with
// the current utterance's hypothesis after them. One thread.
class CumulativeTranscript {
 public:
  void commit(const std::string& utterance);
  std::string with(const std::string& hypothesis) const;
  const std::string& committed() const { return committed_; }

 private:
  std::string committed_;
};

// The decoding of one recognition task, run on its own thread: loads the
// decoder (pocketsphinx with the model), turns the inbox's audio into 16 kHz
// samples for it, ends an utterance whenever the voice activity detector hears
// speech stop, and posts the cumulative transcript to the main queue (an
// interim result each time its text changes, one final result once the audio
// has ended). Within an utterance the transcript shows only the settled words
// of the hypothesis (SettledHypothesis), so no report takes back text that an
// earlier one showed: an utterance commits what its partials showed, extended
// by the words still unsettled when it ends. When
// the decoder falls more than the inbox's backlog behind it drops the oldest
// audio and reports that once; a capture failure and a model that does not
// load are reported as errors, once each.
//
// Threads: run() on the decoder thread; cancel() and loading() on any.
class RecognitionWorker {
 public:
  // Makes the decoder, on the decoder thread; may take a while.
  using DecoderLoader = std::function<Result<std::unique_ptr<UtteranceDecoder>>()>;

  // Decodes with pocketsphinx, opened through `library`, and `model`.
  RecognitionWorker(MainQueue& mainQueue, std::shared_ptr<PocketsphinxLibrary> library,
                    ModelFiles model, std::shared_ptr<AudioInbox> inbox,
                    std::shared_ptr<RecognitionDelivery> delivery);
  RecognitionWorker(MainQueue& mainQueue, DecoderLoader loadDecoder,
                    std::shared_ptr<AudioInbox> inbox,
                    std::shared_ptr<RecognitionDelivery> delivery)
      : mainQueue_(mainQueue),
        loadDecoder_(std::move(loadDecoder)),
        inbox_(std::move(inbox)),
        delivery_(std::move(delivery)) {}

  void run();
  // Stops run() at its next step; nothing is posted afterwards.
  void cancel();
  // Whether run() is inside the model load, which cannot be interrupted.
  bool loading() const { return loading_.load(); }

 private:
  void decode(UtteranceDecoder& decoder);
  void dropBacklog(SampleRing& ring);
  void countDropped(std::uint64_t frames);
  void report(std::optional<RecognitionResult> result, std::optional<Error> error);

  MainQueue& mainQueue_;
  const DecoderLoader loadDecoder_;
  const std::shared_ptr<AudioInbox> inbox_;
  const std::shared_ptr<RecognitionDelivery> delivery_;
  std::atomic<bool> cancelled_{false};
  std::atomic<bool> loading_{false};
  // Decoder thread only.
  std::uint64_t droppedFrames_ = 0;
  bool reportedDrop_ = false;
};

}  // namespace tellwyn
