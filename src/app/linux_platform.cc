#include "app/linux_platform.h"

#include "app/info_dictionary.h"
#include "platform/linux/linux_services.h"
#include "platform/linux/linux_speech_services.h"
#include "platform/linux/pulse/pulse_device_system.h"

namespace tellwyn {

LinuxPlatform::LinuxPlatform()
    : sleeper_(&application_.terminationWatch()),
      devices_(makePulseDeviceSystem(&application_.terminationWatch())),
      microphone_(makeLinuxMicrophoneAuthorization()),
      bundle_(makeLinuxBundle(embeddedInfoPlist())),
      workspace_(makeLinuxWorkspace()),
      files_(makeLinuxFileSystem()) {
  // The recognizer reports through the event loop's queue, so it is made
  // once the loop exists.
  LinuxSpeechServices speech =
      makeLinuxSpeechServices(application_.mainQueue(), &application_.terminationWatch());
  speech_ = std::move(speech.speech);
  audio_ = std::move(speech.audio);
  platform_ =
      std::make_unique<Platform>(Platform{application_, *speech_, *audio_, *devices_, *microphone_,
                                          *bundle_, *workspace_, *files_, sleeper_});
}

LinuxPlatform::~LinuxPlatform() = default;

}  // namespace tellwyn
