#pragma once

#include <memory>

#include "platform/audio_engine.h"
#include "platform/main_queue.h"
#include "platform/speech_recognition.h"
#include "platform/termination_watch.h"

namespace tellwyn {

// The Linux recognizer and audio engine factory, wired so that a capture
// that ends by itself (sound server gone, input removed) reaches the running
// recognition task as its error.
struct LinuxSpeechServices {
  std::unique_ptr<SpeechRecognition> speech;
  std::unique_ptr<AudioEngineFactory> audio;
};

// Main thread. The recognizer reports on `mainQueue`, which must outlive it;
// waits of the audio engine on the sound server give way to `termination`
// when given.
LinuxSpeechServices makeLinuxSpeechServices(MainQueue& mainQueue,
                                            TerminationWatch* termination = nullptr);

}  // namespace tellwyn
