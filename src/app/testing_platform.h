#pragma once

#include <string>

#include "platform/fake/fake_application.h"
#include "platform/fake/fake_audio_devices.h"
#include "platform/fake/fake_audio_engine.h"
#include "platform/fake/fake_bundle.h"
#include "platform/fake/fake_file_system.h"
#include "platform/fake/fake_main_queue.h"
#include "platform/fake/fake_microphone_authorization.h"
#include "platform/fake/fake_speech_recognition.h"
#include "platform/fake/fake_workspace.h"
#include "platform/platform.h"

namespace tellwyn {

// Every platform service as a fake, gathered into a Platform, for the tests of
// the start-up code and the permission modes. Both permissions start
// authorized and no prompt answers until the test says so. The test's thread
// plays the main thread.
struct TestingPlatform {
  FakeApplication application;
  FakeSpeechRecognition speech{application.fakeQueue()};
  FakeAudioEngineFactory audio;
  FakeAudioDeviceSystem devices;
  FakeMicrophoneAuthorization microphone;
  FakeBundle bundle;
  FakeWorkspace workspace;
  FakeFileSystem files;
  FakeSleeper sleeper;
  Platform platform{application, speech,    audio, devices, microphone,
                    bundle,      workspace, files, sleeper};
};

}  // namespace tellwyn
