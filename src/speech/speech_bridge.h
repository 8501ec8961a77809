#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/audio_devices.h"
#include "platform/audio_engine.h"
#include "platform/audio_format.h"
#include "platform/error.h"
#include "platform/main_queue.h"
#include "platform/speech_recognition.h"

namespace tellwyn {

// The platform services a session uses. Not owned.
struct SpeechServices {
  SpeechRecognition& speech;
  AudioEngineFactory& audio;
  AudioDeviceSystem& devices;
  Sleeper& sleeper;
  MainQueue& mainQueue;
};

// One streaming recognition session: the microphone tap, the recognition
// request and task, the transcripts written as partial and final lines, and
// the silence timer that forces a final.
//
// Threads: create, start, stop, updateFinalizeDelay, handleRecognitionResult,
// extractNewFinalText and finalizeTimerFired run on the main thread only.
// handleAudioBuffer runs on the audio capture thread. scheduleFinalization may
// be called from any thread; its work runs on the main queue. Fields are not
// locked: the capture thread reads `request_` and `hasLoggedPreferredChannel_`,
// which start sets before the engine starts and stop releases only after the
// engine has stopped and the tap is gone.
//
// While a run is installed, the tap and the result handler hold strong
// references to the session; the silence timer holds a weak one. Destroying a
// session releases its references and does nothing else.
class SpeechBridge : public std::enable_shared_from_this<SpeechBridge> {
  struct ConstructionKey {};

 public:
  // Fails with Error{"SpeechBridge", 1, "Speech recognizer unavailable"} when
  // the platform yields no recognizer.
  static Result<std::shared_ptr<SpeechBridge>> create(SpeechServices services,
                                                      std::optional<std::string> localeId,
                                                      double finalizeDelaySeconds);

  // Stops any previous run, switches the default input to `deviceUID` when
  // given, then installs the tap, starts the engine and the recognition task.
  // Main thread.
  Status start(const std::optional<std::string>& deviceUID);
  // Flushes a pending transcript as one last final, stops the engine, removes
  // the tap and ends the request and the task. Never fails. Main thread.
  void stop();
  // Sets the silence delay (at least 0.1 s; NaN counts as 0.1) and re-arms the
  // timer from now. Main thread.
  void updateFinalizeDelay(double seconds);

  // The tap callback: feeds the captured buffer, or its loudest channel as a
  // one-channel buffer, to the current request. Capture thread.
  void handleAudioBuffer(const PcmBuffer& buffer, const AudioFormat& inputFormat);
  // The recognition task's report handler. Main thread.
  void handleRecognitionResult(std::optional<RecognitionResult> result, std::optional<Error> error);
  // The part of `text` that the previous final did not carry; remembers the
  // trimmed text as the new reference. Main thread.
  std::string extractNewFinalText(std::string_view text);
  // Re-arms the silence timer with the delay current when the arming runs on
  // the main queue. Any thread.
  void scheduleFinalization();
  // The silence timer's expiry: emits the pending transcript as a final.
  // Main thread.
  void finalizeTimerFired();

  double finalizeDelaySeconds() const { return finalizeDelaySeconds_; }

  SpeechBridge(ConstructionKey, SpeechServices services,
               std::unique_ptr<SpeechRecognizer> recognizer, double finalizeDelaySeconds);
  SpeechBridge(const SpeechBridge&) = delete;
  SpeechBridge& operator=(const SpeechBridge&) = delete;

 private:
  void armFinalizeTimer();
  void invalidateFinalizeTimer();
  void emitFinal(std::string_view transcript);

  SpeechServices services_;
  std::unique_ptr<SpeechRecognizer> recognizer_;
  std::unique_ptr<AudioEngine> audioEngine_;
  std::shared_ptr<RecognitionRequest> request_;
  double finalizeDelaySeconds_;
  std::shared_ptr<RecognitionTask> recognitionTask_;
  std::string lastTranscript_;
  std::string lastFinalTranscript_;
  bool hasFinal_ = false;
  std::shared_ptr<Timer> finalizeTimer_;
  bool hasLoggedPreferredChannel_ = false;
};

}  // namespace tellwyn
