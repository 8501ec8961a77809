#include "platform/linux/linux_speech_services.h"

#include "platform/capture_failure_notice.h"
#include "platform/linux/pocketsphinx/pocketsphinx_recognition.h"
#include "platform/linux/pulse/pulse_audio_engine.h"

namespace tellwyn {

LinuxSpeechServices makeLinuxSpeechServices(MainQueue& mainQueue, TerminationWatch* termination) {
  auto captureFailures = std::make_shared<CaptureFailureNotice>();
  PulseAudioEngine::Options engines;
  engines.termination = termination;
  engines.captureFailures = captureFailures;
  return {makePocketsphinxRecognition(mainQueue, captureFailures),
          makePulseAudioEngineFactory(std::move(engines))};
}

}  // namespace tellwyn
