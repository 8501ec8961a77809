#include "speech/recognition_error.h"

#include <string>

#include "speech/transcript_text.h"

namespace tellwyn {

RecognitionErrorClass classifyRecognitionError(std::string_view description) {
  const std::string text = lowercased(description);
  const auto contains = [&text](std::string_view word) {
    return text.find(word) != std::string::npos;
  };
  if (contains("permission") || contains("authorize") ||
      (contains("denied access") && contains("speech recognition"))) {
    return {"permission_denied", "speech_permission_denied"};
  }
  if (contains("network") || contains("internet")) {
    return {"retryable", "speech_service_network_unavailable"};
  }
  if (contains("recognizer") || contains("recognition")) {
    return {"retryable", "speech_recognition_failed"};
  }
  return {"retryable", "speech_runtime_error"};
}

}  // namespace tellwyn
