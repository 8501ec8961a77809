#pragma once

#include <unistd.h>

#include <memory>

#include "app/command_line.h"
#include "app/process_state.h"
#include "platform/application.h"
#include "platform/platform.h"
#include "protocol/config_channel.h"

namespace tellwyn {

class SpeechBridge;

// The application delegate of the setup and streaming modes. Once launching
// has finished it writes the start-up diagnostics, starts the config channel
// (whose values reach the running session through the main queue), brings
// the application to the front and runs the permission flow of the mode; the
// streaming flow ends in startBridge. Main thread only, except that the
// config channel's callback runs on the channel's reader thread and only
// posts to the main queue.
class SpeechBridgeAppDelegate : public ApplicationDelegate {
 public:
  // `configInputFd` is the descriptor the config channel reads: standard
  // input, or a pipe in tests. `platform` and `state` outlive the delegate.
  SpeechBridgeAppDelegate(BridgeCommandLineConfig config, Platform& platform, ProcessState& state,
                          int configInputFd = STDIN_FILENO);
  ~SpeechBridgeAppDelegate() override;
  SpeechBridgeAppDelegate(const SpeechBridgeAppDelegate&) = delete;
  SpeechBridgeAppDelegate& operator=(const SpeechBridgeAppDelegate&) = delete;

  void applicationDidFinishLaunching() override;

  // Creates the one session, publishes it as the process's active session,
  // installs the SIGTERM handler and starts it; on a failure writes one
  // "retryable" error message and ends the process with status 1.
  void startBridge();

 private:
  void writeStartupDiagnostics();

  BridgeCommandLineConfig config_;
  std::shared_ptr<SpeechBridge> bridge_;
  std::unique_ptr<BridgeConfigChannel> configChannel_;
  Platform& platform_;
  ProcessState& state_;
  int configInputFd_;
};

}  // namespace tellwyn
