#include "app/permission_flows.h"

#include <cstdlib>
#include <string>
#include <utility>

#include "platform/microphone_authorization.h"
#include "platform/speech_recognition.h"
#include "protocol/bridge_message.h"
#include "protocol/output.h"

namespace tellwyn {
namespace {

constexpr int kMicNotDetermined = 0;
constexpr int kSpeechNotDetermined = 0;
constexpr int kSpeechDenied = 1;
constexpr int kSpeechRestricted = 2;

[[noreturn]] void failWithPermissionDenied(Platform& platform, std::string_view reason) {
  emitBridgeJson(BridgeMessage::error("permission_denied", std::string(reason), std::nullopt));
  platform.application.exitProcess(1);
  std::abort();  // not reached: exitProcess does not return
}

[[noreturn]] void failWithMicRefusal(Platform& platform) {
  failWithPermissionDenied(platform, "mic_permission_denied");
}

int readMicStatus(Platform& platform) {
  const int status = platform.microphone.authorizationStatus();
  emitDebug("mic auth status=" + std::to_string(status));
  return status;
}

int readSpeechStatus(Platform& platform) {
  const int status = platform.speech.authorizationStatus();
  emitDebug("speech auth status=" + std::to_string(status));
  return status;
}

// The microphone step both flows share: continue at once when authorized,
// ask when undecided, refuse otherwise.
void ensureMicrophone(Platform& platform, std::function<void()> next) {
  const int status = readMicStatus(platform);
  if (status == kMicrophoneAuthorized) {
    next();
  } else if (status == kMicNotDetermined) {
    requestMicAuthorization(platform, [&platform, next = std::move(next)](bool granted) {
      if (!granted) failWithMicRefusal(platform);
      next();
    });
  } else {
    failWithMicRefusal(platform);
  }
}

void setupSpeechStep(Platform& platform) {
  const int status = readSpeechStatus(platform);
  if (status == kSpeechAuthorized) platform.application.exitProcess(0);
  if (status != kSpeechNotDetermined)
    failWithPermissionDenied(platform, "speech_permission_denied");
  requestSpeechAuthorization(platform, [&platform](bool granted) {
    if (!granted) failWithPermissionDenied(platform, "speech_permission_denied");
    platform.application.exitProcess(0);
  });
}

}  // namespace

std::string_view speechAuthFailureReasonText(SpeechAuthFailureReason reason) {
  switch (reason) {
    case SpeechAuthFailureReason::speechNotDetermined:
      return "speech_permission_not_determined";
    case SpeechAuthFailureReason::speechDenied:
      return "speech_permission_denied";
    case SpeechAuthFailureReason::speechRestricted:
      return "speech_permission_restricted";
    case SpeechAuthFailureReason::speechUnknown:
      break;
  }
  return "speech_permission_unknown";
}

void requestMicAuthorization(Platform& platform, std::function<void(bool granted)> completion) {
  emitDebug("requesting mic auth");
  MainQueue& queue = platform.application.mainQueue();
  platform.microphone.requestAccess([&queue, completion = std::move(completion)](bool granted) {
    queue.post([completion, granted] {
      emitDebug(std::string("mic auth granted=") + (granted ? "true" : "false"));
      completion(granted);
    });
  });
}

void requestSpeechAuthorization(Platform& platform, std::function<void(bool granted)> completion) {
  emitDebug("requesting speech auth");
  MainQueue& queue = platform.application.mainQueue();
  platform.speech.requestAuthorization([&queue, completion = std::move(completion)](int status) {
    queue.post([completion, status] { completion(status == kSpeechAuthorized); });
  });
}

void checkSpeechAuthorization(
    Platform& platform,
    std::function<void(bool granted, std::optional<SpeechAuthFailureReason> reason)> completion) {
  platform.application.mainQueue().post([&platform, completion = std::move(completion)] {
    const int status = readSpeechStatus(platform);
    switch (status) {
      case kSpeechDenied:
        platform.workspace.openUrl(std::string(kSpeechPrivacySettingsUrl));
        completion(false, SpeechAuthFailureReason::speechDenied);
        return;
      case kSpeechRestricted:
        platform.workspace.openUrl(std::string(kSpeechPrivacySettingsUrl));
        completion(false, SpeechAuthFailureReason::speechRestricted);
        return;
      case kSpeechNotDetermined:
        emitDebug("speech auth not determined");
        emitDebug("speech auth request skipped on x64 runtime; continue with recognition start");
        completion(true, std::nullopt);
        return;
      case kSpeechAuthorized:
        completion(true, std::nullopt);
        return;
      default:
        completion(false, SpeechAuthFailureReason::speechUnknown);
        return;
    }
  });
}

void runSetupFlow(Platform& platform) {
  ensureMicrophone(platform, [&platform] { setupSpeechStep(platform); });
}

void runStreamingFlow(Platform& platform, bool skipSpeechAuthCheck,
                      std::function<void()> startBridge) {
  ensureMicrophone(
      platform, [&platform, skipSpeechAuthCheck, startBridge = std::move(startBridge)] {
        if (skipSpeechAuthCheck) {
          emitDebug("speech auth check skipped by startup flag");
          startBridge();
          return;
        }
        checkSpeechAuthorization(
            platform,
            [&platform, startBridge](bool granted, std::optional<SpeechAuthFailureReason> reason) {
              if (!granted) {
                failWithPermissionDenied(platform, speechAuthFailureReasonText(reason.value_or(
                                                       SpeechAuthFailureReason::speechUnknown)));
              }
              startBridge();
            });
      });
}

}  // namespace tellwyn
