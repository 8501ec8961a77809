#include <string>
#include <vector>

#include "app/auth_status.h"
#include "app/command_line.h"
#include "app/linux_platform.h"
#include "app/process_state.h"
#include "app/speech_bridge_app.h"
#include "devices/device_list.h"
#include "protocol/output.h"

int main(int argc, char** argv) {
  using namespace tellwyn;

  // The process-wide values: the command line, the session's silence delay
  // and the active session.
  ProcessState state;
  state.config = BridgeCommandLineConfig::parse(std::vector<std::string>(argv, argv + argc));

  LinuxPlatform services;
  Platform& platform = services.platform();
  if (state.config.authStatusMode) {
    printAuthStatusAndExit(state.config.authStatusFile, platform);
  }
  if (state.config.listDevicesMode) {
    emitBridgeJson(listInputDevices(platform.devices));
    platform.application.exitProcess(0);
  }
  runSpeechBridgeApp(state, platform);
  return 0;
}
