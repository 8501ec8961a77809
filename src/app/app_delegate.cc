#include "app/app_delegate.h"

#include <cstdlib>
#include <string>
#include <utility>

#include "app/permission_flows.h"
#include "app/termination.h"
#include "protocol/bridge_message.h"
#include "protocol/output.h"
#include "speech/speech_bridge.h"

namespace tellwyn {
namespace {

// The text of a usage description, or "missing" when absent or not text.
std::string usageDescription(const InfoDictionary& dictionary, const std::string& key) {
  const auto found = dictionary.find(key);
  if (found == dictionary.end()) return "missing";
  if (const auto* text = std::get_if<std::string>(&found->second)) return *text;
  return "missing";
}

[[noreturn]] void failBridge(Application& application, std::string reason, const Error& error) {
  emitBridgeJson(BridgeMessage::error("retryable", std::move(reason), error.description));
  application.exitProcess(1);
  std::abort();  // not reached: exitProcess does not return
}

}  // namespace

SpeechBridgeAppDelegate::SpeechBridgeAppDelegate(BridgeCommandLineConfig config, Platform& platform,
                                                 ProcessState& state, int configInputFd)
    : config_(std::move(config)),
      platform_(platform),
      state_(state),
      configInputFd_(configInputFd) {}

SpeechBridgeAppDelegate::~SpeechBridgeAppDelegate() = default;

void SpeechBridgeAppDelegate::applicationDidFinishLaunching() {
  writeStartupDiagnostics();

  MainQueue& queue = platform_.application.mainQueue();
  ProcessState& state = state_;
  configChannel_ = std::make_unique<BridgeConfigChannel>(
      [&queue, &state](double silenceMs) {
        queue.post([&state, silenceMs] {
          if (state.activeBridge) state.activeBridge->updateFinalizeDelay(silenceMs / 1000);
        });
      },
      configInputFd_);
  configChannel_->start();

  platform_.application.setActivationPolicy(Application::kActivationPolicyRegular);
  platform_.application.activateIgnoringOtherApps(true);

  if (config_.setupMode) {
    runSetupFlow(platform_);
  } else {
    runStreamingFlow(platform_, config_.skipSpeechAuthCheckMode, [this] { startBridge(); });
  }
}

void SpeechBridgeAppDelegate::writeStartupDiagnostics() {
  emitDebug("SpeechBridge starting");
  emitDebug("bundleId=" + platform_.bundle.bundleIdentifier().value_or("unknown"));
  const auto dictionary = platform_.bundle.infoDictionary();
  if (!dictionary) {
    emitDebug("infoDictionary=missing");
    return;
  }
  const std::string mic = usageDescription(*dictionary, "NSMicrophoneUsageDescription");
  const std::string speech = usageDescription(*dictionary, "NSSpeechRecognitionUsageDescription");
  emitDebug("info.mic=" + mic);
  emitDebug("info.speech=" + speech);
}

void SpeechBridgeAppDelegate::startBridge() {
  Application& application = platform_.application;
  auto created =
      SpeechBridge::create(SpeechServices{platform_.speech, platform_.audio, platform_.devices,
                                          platform_.sleeper, application.mainQueue()},
                           config_.language, state_.finalizeDelaySeconds);
  if (!created) failBridge(application, "speech_bridge_init_failed", created.error());

  bridge_ = std::move(created).value();
  state_.activeBridge = bridge_;
  application.installTerminationHandler(
      [&state = state_, &application] { handleTermination(state, application); });

  if (const Status started = bridge_->start(config_.deviceUID); !started) {
    failBridge(application, "speech_bridge_start_failed", started.error());
  }
}

}  // namespace tellwyn
