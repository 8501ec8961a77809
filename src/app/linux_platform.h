#pragma once

#include <memory>

#include "platform/linux/asio_application.h"
#include "platform/platform.h"

namespace tellwyn {

// The real platform services of a Linux process: the Asio event loop,
// PulseAudio devices and capture, the pocketsphinx recognizer, the embedded
// information dictionary and the file system. One per process, made by main;
// the services are created when the object is and live as long as it does.
class LinuxPlatform {
 public:
  LinuxPlatform();
  ~LinuxPlatform();
  LinuxPlatform(const LinuxPlatform&) = delete;
  LinuxPlatform& operator=(const LinuxPlatform&) = delete;

  Platform& platform() { return *platform_; }

 private:
  AsioApplication application_;
  ThreadSleeper sleeper_;
  std::unique_ptr<AudioDeviceSystem> devices_;
  std::unique_ptr<SpeechRecognition> speech_;
  std::unique_ptr<AudioEngineFactory> audio_;
  std::unique_ptr<MicrophoneAuthorization> microphone_;
  std::unique_ptr<Bundle> bundle_;
  std::unique_ptr<Workspace> workspace_;
  std::unique_ptr<FileSystem> files_;
  std::unique_ptr<Platform> platform_;
};

}  // namespace tellwyn
