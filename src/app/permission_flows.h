#pragma once

#include <functional>
#include <optional>
#include <string_view>

#include "platform/platform.h"

namespace tellwyn {

// Why the speech-recognition check refused.
enum class SpeechAuthFailureReason {
  speechNotDetermined,
  speechDenied,
  speechRestricted,
  speechUnknown
};

// The `reason` text of an error message for a streaming speech refusal.
std::string_view speechAuthFailureReasonText(SpeechAuthFailureReason reason);

// The settings link of the speech-recognition privacy page.
inline constexpr std::string_view kSpeechPrivacySettingsUrl =
    "x-apple.systempreferences:com.apple.preference.security?Privacy_SpeechRecognition";

// The permission steps and flows of the application delegate. They run on
// the main thread; the platform's prompt answers arrive on threads of their
// own and are posted to the main queue at once, and every decision, line and
// exit happens there. `platform` must outlive the flows (it lives for the
// process). Refusals write one "permission_denied" error message and end
// the process with status 1 through Application::exitProcess.

// Debug line "requesting mic auth", then the platform request; on the main
// queue, debug line "mic auth granted=true|false", then `completion`.
void requestMicAuthorization(Platform& platform, std::function<void(bool granted)> completion);

// Debug line "requesting speech auth", then the platform request; on the
// main queue, `completion` with whether the answer was authorized.
void requestSpeechAuthorization(Platform& platform, std::function<void(bool granted)> completion);

// Posts the check to the main queue: reads the speech status, writes
// "speech auth status=N", opens the privacy settings page on denied or
// restricted, and passes the outcome to `completion`. A status not yet
// determined counts as granted (no request is made).
void checkSpeechAuthorization(
    Platform& platform,
    std::function<void(bool granted, std::optional<SpeechAuthFailureReason> reason)> completion);

// Setup mode: asks for whichever permission is undecided, then exits with
// status 0 when both are granted, otherwise with the refusal.
void runSetupFlow(Platform& platform);

// Streaming mode: asks for an undecided microphone, checks speech
// recognition (unless `skipSpeechAuthCheck`), then calls `startBridge`, or
// exits with the refusal.
void runStreamingFlow(Platform& platform, bool skipSpeechAuthCheck,
                      std::function<void()> startBridge);

}  // namespace tellwyn
