#include "app/speech_bridge_app.h"

#include "app/app_delegate.h"

namespace tellwyn {

void runSpeechBridgeApp(ProcessState& state, Platform& platform) {
  state.finalizeDelaySeconds = state.config.finalizeDelaySeconds();
  SpeechBridgeAppDelegate delegate(state.config, platform, state);
  platform.application.setDelegate(&delegate);
  platform.application.run();
  platform.application.setDelegate(nullptr);
}

}  // namespace tellwyn
