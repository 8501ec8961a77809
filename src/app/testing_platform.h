#pragma once

#include <string>

#include "platform/audio_devices.h"
#include "platform/fake/fake_application.h"
#include "platform/fake/fake_audio_engine.h"
#include "platform/fake/fake_bundle.h"
#include "platform/fake/fake_file_system.h"
#include "platform/fake/fake_main_queue.h"
#include "platform/fake/fake_microphone_authorization.h"
#include "platform/fake/fake_speech_recognition.h"
#include "platform/fake/fake_workspace.h"
#include "platform/platform.h"

namespace tellwyn {

// An audio device system for tests that never reach the devices: every call
// fails.
class NoAudioDevices : public AudioDeviceSystem {
 public:
  static constexpr AudioStatus kFailure = -1;
  AudioStatus deviceListSize(std::uint32_t&) override { return kFailure; }
  AudioStatus readDeviceList(std::uint32_t&, std::span<AudioObjectId>) override { return kFailure; }
  AudioStatus inputStreamConfigurationSize(AudioObjectId, std::uint32_t&) override {
    return kFailure;
  }
  AudioStatus readInputStreamConfiguration(AudioObjectId, std::uint32_t&,
                                           std::span<std::byte>) override {
    return kFailure;
  }
  AudioStatus textPropertySize(AudioObjectId, DeviceTextProperty, std::uint32_t&) override {
    return kFailure;
  }
  AudioStatus readTextProperty(AudioObjectId, DeviceTextProperty, std::uint32_t&,
                               std::optional<std::string>&) override {
    return kFailure;
  }
  AudioStatus readDefaultInputDevice(std::uint32_t&, AudioObjectId&) override { return kFailure; }
  AudioStatus writeDefaultInputDevice(std::uint32_t, AudioObjectId) override { return kFailure; }
  std::string describeStatus(AudioStatus) override { return "no devices"; }
};

// Every platform service as a fake, gathered into a Platform, for the tests of
// the start-up code and the permission modes. Both permissions start
// authorized and no prompt answers until the test says so. The test's thread
// plays the main thread.
struct TestingPlatform {
  FakeApplication application;
  FakeSpeechRecognition speech{application.fakeQueue()};
  FakeAudioEngineFactory audio;
  NoAudioDevices devices;
  FakeMicrophoneAuthorization microphone;
  FakeBundle bundle;
  FakeWorkspace workspace;
  FakeFileSystem files;
  FakeSleeper sleeper;
  Platform platform{application, speech,    audio, devices, microphone,
                    bundle,      workspace, files, sleeper};
};

}  // namespace tellwyn
