#include <string>
#include <vector>

#include "app/auth_status.h"
#include "app/command_line.h"
#include "app/linux_platform.h"
#include "app/process_state.h"
#include "app/speech_bridge_app.h"
#include "devices/device_list.h"
#include "protocol/output.h"

#if defined(__SANITIZE_THREAD__)
// Every way out of the process is an immediate exit that leaves the stdin
// reader, capture and decoder threads where they are, finished or not; that
// is how the process is meant to end, so the thread checker is told not to
// report those threads as leaked.
extern "C" const char* __tsan_default_options() { return "report_thread_leaks=0"; }
#endif

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
