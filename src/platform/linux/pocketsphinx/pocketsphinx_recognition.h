#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/answer_threads.h"
#include "platform/capture_failure_notice.h"
#include "platform/main_queue.h"
#include "platform/speech_recognition.h"

namespace tellwyn {

class PocketsphinxLibrary;

// Offline speech recognition with pocketsphinx and the models installed on
// the system. Speech recognition needs no permission here: the status is
// always authorized. A recognizer exists for a locale when a model for its
// language is installed and the library opens; the first recognizer opens
// it, on the main thread. Each task loads the model on its own decoder
// thread and reports on `mainQueue`. Requests subscribe to `captureFailures` (when
// given) so a capture that ends by itself shows up as the task's error.
//
// Threads: the main thread, except requestAuthorization's completion, which
// runs on a thread of its own that the destructor joins.
class PocketsphinxRecognition : public SpeechRecognition {
 public:
  using EnvironmentLookup = std::function<const char*(const char* name)>;

  PocketsphinxRecognition(MainQueue& mainQueue,
                          std::shared_ptr<CaptureFailureNotice> captureFailures,
                          EnvironmentLookup environment,
                          std::shared_ptr<PocketsphinxLibrary> library);
  ~PocketsphinxRecognition() override;
  PocketsphinxRecognition(const PocketsphinxRecognition&) = delete;
  PocketsphinxRecognition& operator=(const PocketsphinxRecognition&) = delete;

  int authorizationStatus() override { return kSpeechAuthorized; }
  void requestAuthorization(std::function<void(int status)> completion) override;
  // Absent: the user's locale from LC_ALL, LC_MESSAGES or LANG. None when no
  // model fits the locale or the library does not open. Only checks that the
  // model's files are there.
  std::unique_ptr<SpeechRecognizer> makeRecognizer(
      const std::optional<std::string>& localeId) override;

 private:
  MainQueue& mainQueue_;
  const std::shared_ptr<CaptureFailureNotice> captureFailures_;
  const EnvironmentLookup environment_;
  const std::shared_ptr<PocketsphinxLibrary> library_;
  AnswerThreads answers_;
};

// The recognition service reading the process environment, reporting on
// `mainQueue`.
std::unique_ptr<SpeechRecognition> makePocketsphinxRecognition(
    MainQueue& mainQueue, std::shared_ptr<CaptureFailureNotice> captureFailures = nullptr);

}  // namespace tellwyn
