#include "app/auth_status.h"

#include <cstdlib>

#include "platform/microphone_authorization.h"
#include "platform/speech_recognition.h"
#include "protocol/json_encoding.h"
#include "protocol/output.h"

namespace tellwyn {

std::string micStatusLabel(int status) {
  switch (status) {
    case 0:
      return "not_determined";
    case 1:
      return "restricted";
    case 2:
      return "denied";
    case kMicrophoneAuthorized:
      return "authorized";
    default:
      return "unknown";
  }
}

std::string speechStatusLabel(int status) {
  switch (status) {
    case 0:
      return "not_determined";
    case 1:
      return "denied";
    case 2:
      return "restricted";
    case kSpeechAuthorized:
      return "authorized";
    default:
      return "unknown";
  }
}

AuthStatusInfo readAuthStatus(Platform& platform) {
  const int mic = platform.microphone.authorizationStatus();
  const int speech = platform.speech.authorizationStatus();
  AuthStatusInfo report;
  report.microphone = micStatusLabel(mic);
  report.speech = speechStatusLabel(speech);
  report.micGranted = mic == kMicrophoneAuthorized;
  report.speechGranted = speech == kSpeechAuthorized;
  report.bundleIdentifier = platform.bundle.bundleIdentifier();
  report.executablePath = platform.bundle.executablePath();
  return report;
}

void printAuthStatusAndExit(const std::optional<std::string>& authStatusFile, Platform& platform) {
  if (const auto json = encodeJson(readAuthStatus(platform))) {
    writeStdoutLine(*json);
    if (authStatusFile && !authStatusFile->empty()) {
      const Status written = platform.files.writeFileAtomically(*authStatusFile, *json);
      if (!written) emitDebug("auth status file write failed: " + written.error().description);
    }
  }
  platform.application.exitProcess(0);
  std::abort();  // not reached: exitProcess does not return
}

}  // namespace tellwyn
