#include "platform/linux/pocketsphinx/pocketsphinx_recognition.h"

#include <cstdlib>
#include <utility>

#include "platform/linux/pocketsphinx/audio_inbox.h"
#include "platform/linux/pocketsphinx/model_locator.h"
#include "platform/linux/pocketsphinx/pocketsphinx_library.h"
#include "platform/linux/pocketsphinx/recognition_worker.h"
#include "protocol/output.h"

namespace tellwyn {
namespace {

// A request: its audio goes into an inbox that the task's decoder drains.
// append on the capture thread, the rest on the main thread.
class PocketsphinxRequest : public RecognitionRequest {
 public:
  explicit PocketsphinxRequest(std::shared_ptr<CaptureFailureNotice> captureFailures)
      : captureFailures_(std::move(captureFailures)) {
    if (captureFailures_) captureFailures_->subscribe(inbox_);
  }
  ~PocketsphinxRequest() override { unsubscribe(); }
  PocketsphinxRequest(const PocketsphinxRequest&) = delete;
  PocketsphinxRequest& operator=(const PocketsphinxRequest&) = delete;

  void setShouldReportPartialResults(bool report) override {
    inbox_->setReportPartialResults(report);
  }
  void append(const PcmBuffer& buffer) override { inbox_->append(buffer); }
  void endAudio() override {
    // Capture is over: a failure from here on is no news for this request.
    unsubscribe();
    inbox_->endAudio();
  }

  const std::shared_ptr<AudioInbox>& inbox() const { return inbox_; }

 private:
  void unsubscribe() {
    if (captureFailures_) captureFailures_->unsubscribe(inbox_.get());
  }

  const std::shared_ptr<AudioInbox> inbox_ = std::make_shared<AudioInbox>();
  const std::shared_ptr<CaptureFailureNotice> captureFailures_;
};

// A running task: one decoder thread. cancel (and the destructor) stop it
// and join it, except while it loads the model, which cannot be cut short:
// then the thread is left to finish by itself, holding what it uses, and
// posts nothing. Main thread.
class PocketsphinxTask : public RecognitionTask {
 public:
  PocketsphinxTask(MainQueue& mainQueue, std::shared_ptr<PocketsphinxLibrary> library,
                   const ModelFiles& model, std::shared_ptr<AudioInbox> inbox,
                   RecognitionHandler handler)
      : delivery_(std::make_shared<RecognitionDelivery>(std::move(handler))),
        worker_(std::make_shared<RecognitionWorker>(mainQueue, std::move(library), model,
                                                    std::move(inbox), delivery_)),
        thread_([worker = worker_] { worker->run(); }) {}
  ~PocketsphinxTask() override { cancel(); }
  PocketsphinxTask(const PocketsphinxTask&) = delete;
  PocketsphinxTask& operator=(const PocketsphinxTask&) = delete;

  void cancel() override {
    delivery_->cancelled = true;
    delivery_->handler = nullptr;  // let go of what the handler holds
    worker_->cancel();
    if (!thread_.joinable()) return;
    if (worker_->loading()) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }

 private:
  const std::shared_ptr<RecognitionDelivery> delivery_;
  const std::shared_ptr<RecognitionWorker> worker_;
  std::thread thread_;
};

// A recognizer for one installed model. Main thread.
class PocketsphinxRecognizer : public SpeechRecognizer {
 public:
  PocketsphinxRecognizer(MainQueue& mainQueue, std::shared_ptr<PocketsphinxLibrary> library,
                         ModelFiles model, std::shared_ptr<CaptureFailureNotice> captureFailures)
      : mainQueue_(mainQueue),
        library_(std::move(library)),
        model_(std::move(model)),
        captureFailures_(std::move(captureFailures)) {}

  std::shared_ptr<RecognitionRequest> makeRequest() override {
    return std::make_shared<PocketsphinxRequest>(captureFailures_);
  }

  std::shared_ptr<RecognitionTask> startTask(std::shared_ptr<RecognitionRequest> request,
                                             RecognitionHandler handler) override {
    auto* ours = dynamic_cast<PocketsphinxRequest*>(request.get());
    // A request from elsewhere has no audio for this decoder: an empty inbox
    // that has ended yields one empty final.
    std::shared_ptr<AudioInbox> inbox = ours != nullptr ? ours->inbox() : nullptr;
    if (!inbox) {
      inbox = std::make_shared<AudioInbox>();
      inbox->endAudio();
    }
    return std::make_shared<PocketsphinxTask>(mainQueue_, library_, model_, std::move(inbox),
                                              std::move(handler));
  }

 private:
  MainQueue& mainQueue_;
  const std::shared_ptr<PocketsphinxLibrary> library_;
  const ModelFiles model_;
  const std::shared_ptr<CaptureFailureNotice> captureFailures_;
};

}  // namespace

PocketsphinxRecognition::PocketsphinxRecognition(
    MainQueue& mainQueue, std::shared_ptr<CaptureFailureNotice> captureFailures,
    EnvironmentLookup environment, std::shared_ptr<PocketsphinxLibrary> library)
    : mainQueue_(mainQueue),
      captureFailures_(std::move(captureFailures)),
      environment_(std::move(environment)),
      library_(std::move(library)) {}

PocketsphinxRecognition::~PocketsphinxRecognition() = default;

void PocketsphinxRecognition::requestAuthorization(std::function<void(int status)> completion) {
  answers_.run([completion = std::move(completion)] { completion(kSpeechAuthorized); });
}

std::unique_ptr<SpeechRecognizer> PocketsphinxRecognition::makeRecognizer(
    const std::optional<std::string>& localeId) {
  const std::string identifier = localeId ? *localeId : userLocaleIdentifier(environment_);
  auto model = locateModel(modelDirectory(environment_), parseLocaleIdentifier(identifier));
  if (!model) return nullptr;
  // Opened here rather than on a task's thread, so that a missing or broken
  // library makes the recognizer unavailable, as a missing model does.
  if (auto opened = library_->open(); !opened) {
    emitDebug(opened.error().description);
    return nullptr;
  }
  return std::make_unique<PocketsphinxRecognizer>(mainQueue_, library_, std::move(*model),
                                                  captureFailures_);
}

std::unique_ptr<SpeechRecognition> makePocketsphinxRecognition(
    MainQueue& mainQueue, std::shared_ptr<CaptureFailureNotice> captureFailures) {
  return std::make_unique<PocketsphinxRecognition>(
      mainQueue, std::move(captureFailures), [](const char* name) { return std::getenv(name); },
      std::make_shared<PocketsphinxLibrary>());
}

}  // namespace tellwyn
