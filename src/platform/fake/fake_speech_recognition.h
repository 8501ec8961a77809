#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio_format.h"
#include "platform/fake/call_log.h"
#include "platform/main_queue.h"
#include "platform/speech_recognition.h"

namespace tellwyn {

// A copy of one buffer appended to a fake request.
struct AppendedBuffer {
  AudioFormat format;
  std::uint32_t frameLength = 0;
  // One array of frameLength samples per channel, of the buffer's type.
  std::vector<std::vector<float>> floatChannels;
  std::vector<std::vector<std::int16_t>> int16Channels;
};

// A request that keeps a copy of every buffer appended to it. append() may run
// on a capture thread (it locks, unlike a real request, so the copies can be
// read from the test thread); the rest is main-thread only.
class FakeRecognitionRequest : public RecognitionRequest {
 public:
  explicit FakeRecognitionRequest(CallLog* log) : log_(log) {}

  void setShouldReportPartialResults(bool report) override { reportsPartialResults = report; }
  void append(const PcmBuffer& buffer) override;
  void endAudio() override;

  std::vector<AppendedBuffer> appended() const;
  std::size_t appendedCount() const;

  std::optional<bool> reportsPartialResults;
  int endAudioCalls = 0;

 private:
  CallLog* log_;
  mutable std::mutex mutex_;
  std::vector<AppendedBuffer> appended_;  // guarded by mutex_
};

// A task that hands reports to its handler until it is cancelled. Main thread.
class FakeRecognitionTask : public RecognitionTask {
 public:
  FakeRecognitionTask(std::shared_ptr<RecognitionRequest> taskRequest, RecognitionHandler handler,
                      CallLog* log)
      : request(std::move(taskRequest)), handler_(std::move(handler)), log_(log) {}

  // Drops the handler: a cancelled task reports nothing more.
  void cancel() override;
  bool cancelled() const { return cancelled_; }
  // Calls the handler now, unless the task was cancelled. Returns whether it
  // was called.
  bool report(std::optional<RecognitionResult> result, std::optional<Error> error);

  const std::shared_ptr<RecognitionRequest> request;

 private:
  RecognitionHandler handler_;
  CallLog* log_;
  bool cancelled_ = false;
};

// A scriptable speech recognition service. The authorization status and
// answer, and which locales have a recognizer, are whatever the test sets.
// Every request and task made by its recognizers is kept so the test can look
// at the audio they got and deliver reports, which reach the handler through
// the main queue as real ones do. Calls are recorded in `log` when given.
// The test's (main) thread only, except the requests' append().
class FakeSpeechRecognition : public SpeechRecognition {
 public:
  explicit FakeSpeechRecognition(MainQueue& mainQueue, CallLog* log = nullptr);

  int authorizationStatus() override;
  // Answers at once with `autoAnswer` when set, otherwise when the test calls
  // answer(); the completion runs on a thread of its own, joined before the
  // call returns.
  void requestAuthorization(std::function<void(int status)> completion) override;
  std::unique_ptr<SpeechRecognizer> makeRecognizer(
      const std::optional<std::string>& localeId) override;

  // Answers the oldest open authorization request. False when none is open.
  bool answer(int answeredStatus);
  int pendingAuthorizationRequests() const { return static_cast<int>(pending_.size()); }

  // Posts a report for the latest task to the main queue. False when no task
  // has been started.
  bool deliver(std::optional<RecognitionResult> result, std::optional<Error> error = {});
  bool deliverPartial(std::string text) { return deliver(RecognitionResult{std::move(text)}); }
  bool deliverFinal(std::string text) { return deliver(RecognitionResult{std::move(text), true}); }
  bool deliverError(std::string description) {
    return deliver(std::nullopt, Error{"FakeSpeech", 1, std::move(description)});
  }

  const std::vector<std::shared_ptr<FakeRecognitionRequest>>& requests() const;
  const std::vector<std::shared_ptr<FakeRecognitionTask>>& tasks() const;
  std::shared_ptr<FakeRecognitionRequest> lastRequest() const;
  std::shared_ptr<FakeRecognitionTask> lastTask() const;

  // Scripted answers.
  int status = kSpeechAuthorized;
  std::optional<int> autoAnswer;
  // Whether the user's own locale (no locale id) has a recognizer.
  bool defaultLocaleSupported = true;
  // The locale ids that have a recognizer; absent: every id.
  std::optional<std::vector<std::string>> supportedLocales;

  // What was asked.
  int statusReads = 0;
  int authorizationRequests = 0;
  std::vector<std::optional<std::string>> requestedLocales;

  struct State;

 private:
  MainQueue& mainQueue_;
  CallLog* log_;
  std::shared_ptr<State> state_;
  std::vector<std::function<void(int)>> pending_;
};

}  // namespace tellwyn
