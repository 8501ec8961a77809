#include "platform/fake/fake_speech_recognition.h"

#include <algorithm>
#include <thread>
#include <utility>

namespace tellwyn {

struct FakeSpeechRecognition::State {
  std::vector<std::shared_ptr<FakeRecognitionRequest>> requests;
  std::vector<std::shared_ptr<FakeRecognitionTask>> tasks;
};

namespace {

void record(CallLog* log, std::string call) {
  if (log != nullptr) log->record(std::move(call));
}

// A recognizer whose requests and tasks land in the service's state.
class FakeSpeechRecognizer : public SpeechRecognizer {
 public:
  FakeSpeechRecognizer(std::shared_ptr<FakeSpeechRecognition::State> state, CallLog* log)
      : state_(std::move(state)), log_(log) {}

  std::shared_ptr<RecognitionRequest> makeRequest() override {
    record(log_, "makeRequest");
    auto request = std::make_shared<FakeRecognitionRequest>(log_);
    state_->requests.push_back(request);
    return request;
  }

  std::shared_ptr<RecognitionTask> startTask(std::shared_ptr<RecognitionRequest> request,
                                             RecognitionHandler handler) override {
    record(log_, "startTask");
    auto task = std::make_shared<FakeRecognitionTask>(std::move(request), std::move(handler), log_);
    state_->tasks.push_back(task);
    return task;
  }

 private:
  std::shared_ptr<FakeSpeechRecognition::State> state_;
  CallLog* log_;
};

}  // namespace

void FakeRecognitionRequest::append(const PcmBuffer& buffer) {
  AppendedBuffer copy;
  copy.format = buffer.format();
  copy.frameLength = buffer.frameLength();
  for (const float* channel : buffer.floatChannelData()) {
    copy.floatChannels.emplace_back(channel, channel + buffer.frameLength());
  }
  for (const std::int16_t* channel : buffer.int16ChannelData()) {
    copy.int16Channels.emplace_back(channel, channel + buffer.frameLength());
  }
  std::lock_guard lock(mutex_);
  appended_.push_back(std::move(copy));
}

void FakeRecognitionRequest::endAudio() {
  ++endAudioCalls;
  record(log_, "endAudio");
}

std::vector<AppendedBuffer> FakeRecognitionRequest::appended() const {
  std::lock_guard lock(mutex_);
  return appended_;
}

std::size_t FakeRecognitionRequest::appendedCount() const {
  std::lock_guard lock(mutex_);
  return appended_.size();
}

void FakeRecognitionTask::cancel() {
  record(log_, "cancel");
  cancelled_ = true;
  handler_ = nullptr;
}

bool FakeRecognitionTask::report(std::optional<RecognitionResult> result,
                                 std::optional<Error> error) {
  if (cancelled_ || !handler_) return false;
  // A copy, so a handler that cancels its own task stays alive while it runs.
  RecognitionHandler handler = handler_;
  handler(std::move(result), std::move(error));
  return true;
}

FakeSpeechRecognition::FakeSpeechRecognition(MainQueue& mainQueue, CallLog* log)
    : mainQueue_(mainQueue), log_(log), state_(std::make_shared<State>()) {}

int FakeSpeechRecognition::authorizationStatus() {
  ++statusReads;
  return status;
}

void FakeSpeechRecognition::requestAuthorization(std::function<void(int status)> completion) {
  ++authorizationRequests;
  if (autoAnswer) {
    std::thread([&completion, answer = *autoAnswer] { completion(answer); }).join();
  } else {
    pending_.push_back(std::move(completion));
  }
}

bool FakeSpeechRecognition::answer(int answeredStatus) {
  if (pending_.empty()) return false;
  auto completion = std::move(pending_.front());
  pending_.erase(pending_.begin());
  std::thread([&completion, answeredStatus] { completion(answeredStatus); }).join();
  return true;
}

std::unique_ptr<SpeechRecognizer> FakeSpeechRecognition::makeRecognizer(
    const std::optional<std::string>& localeId) {
  record(log_, "makeRecognizer");
  requestedLocales.push_back(localeId);
  const bool supported =
      localeId ? !supportedLocales ||
                     std::ranges::find(*supportedLocales, *localeId) != supportedLocales->end()
               : defaultLocaleSupported;
  if (!supported) return nullptr;
  return std::make_unique<FakeSpeechRecognizer>(state_, log_);
}

bool FakeSpeechRecognition::deliver(std::optional<RecognitionResult> result,
                                    std::optional<Error> error) {
  if (state_->tasks.empty()) return false;
  mainQueue_.post(
      [task = state_->tasks.back(), result = std::move(result),
       error = std::move(error)]() mutable { task->report(std::move(result), std::move(error)); });
  return true;
}

const std::vector<std::shared_ptr<FakeRecognitionRequest>>& FakeSpeechRecognition::requests()
    const {
  return state_->requests;
}

const std::vector<std::shared_ptr<FakeRecognitionTask>>& FakeSpeechRecognition::tasks() const {
  return state_->tasks;
}

std::shared_ptr<FakeRecognitionRequest> FakeSpeechRecognition::lastRequest() const {
  return state_->requests.empty() ? nullptr : state_->requests.back();
}

std::shared_ptr<FakeRecognitionTask> FakeSpeechRecognition::lastTask() const {
  return state_->tasks.empty() ? nullptr : state_->tasks.back();
}

}  // namespace tellwyn
