#pragma once

#include "platform/application.h"
#include "platform/audio_devices.h"
#include "platform/audio_engine.h"
#include "platform/bundle.h"
#include "platform/main_queue.h"
#include "platform/microphone_authorization.h"
#include "platform/speech_recognition.h"

namespace tellwyn {

// Every platform service the system uses, gathered in one place: the real
// ones in the product, fakes in tests. The services are not owned.
struct Platform {
  Application& application;
  SpeechRecognition& speech;
  AudioEngineFactory& audio;
  AudioDeviceSystem& devices;
  MicrophoneAuthorization& microphone;
  Bundle& bundle;
  Workspace& workspace;
  FileSystem& files;
  Sleeper& sleeper;
};

}  // namespace tellwyn
