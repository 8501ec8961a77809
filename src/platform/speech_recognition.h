#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/audio_format.h"
#include "platform/error.h"

namespace tellwyn {

// One report's result: the best hypothesis's transcript and whether it has
// settled.
struct RecognitionResult {
  std::string bestTranscription;
  bool isFinal = false;
};

// Called on the main thread with a result, an error, or both.
using RecognitionHandler =
    std::function<void(std::optional<RecognitionResult> result, std::optional<Error> error)>;

// Audio for one recognition task. setShouldReportPartialResults and endAudio
// run on the main thread; append runs on the capture thread and never blocks.
class RecognitionRequest {
 public:
  virtual ~RecognitionRequest() = default;
  virtual void setShouldReportPartialResults(bool report) = 0;
  // Queues the buffer's frames for recognition.
  virtual void append(const PcmBuffer& buffer) = 0;
  // No more audio follows.
  virtual void endAudio() = 0;
};

// A running recognition. Main thread. After cancel() its handler is not
// called again.
class RecognitionTask {
 public:
  virtual ~RecognitionTask() = default;
  virtual void cancel() = 0;
};

// A recognizer for one locale. Main thread.
class SpeechRecognizer {
 public:
  virtual ~SpeechRecognizer() = default;
  virtual std::shared_ptr<RecognitionRequest> makeRequest() = 0;
  // Starts recognizing the request's audio; reports reach `handler` on the
  // main queue.
  virtual std::shared_ptr<RecognitionTask> startTask(std::shared_ptr<RecognitionRequest> request,
                                                     RecognitionHandler handler) = 0;
};

// Speech recognition statuses: 0 not determined, 1 denied, 2 restricted,
// 3 authorized.
inline constexpr int kSpeechAuthorized = 3;

// The speech recognition service: its permission and its recognizers.
// authorizationStatus and makeRecognizer run on the main thread;
// requestAuthorization's completion runs once on a thread of its own.
class SpeechRecognition {
 public:
  virtual ~SpeechRecognition() = default;
  virtual int authorizationStatus() = 0;
  virtual void requestAuthorization(std::function<void(int status)> completion) = 0;
  // A recognizer for the locale (absent: the user's locale), or none when the
  // locale is not supported.
  virtual std::unique_ptr<SpeechRecognizer> makeRecognizer(
      const std::optional<std::string>& localeId) = 0;
};

}  // namespace tellwyn
