#include "speech/recognition_error.h"

#include <gtest/gtest.h>

namespace tellwyn {
namespace {

TEST(ClassifyRecognitionErrorTest, FirstMatchingRowWins) {
  struct Case {
    const char* description;
    RecognitionErrorClass expected;
  };
  const RecognitionErrorClass permission{"permission_denied", "speech_permission_denied"};
  const RecognitionErrorClass network{"retryable", "speech_service_network_unavailable"};
  const RecognitionErrorClass recognition{"retryable", "speech_recognition_failed"};
  const RecognitionErrorClass runtime{"retryable", "speech_runtime_error"};
  const Case cases[] = {
      {"Missing PERMISSION to record", permission},
      {"PeRmIsSiOn", permission},
      {"App is not authorized", permission},  // "authorize" inside "authorized"
      {"User denied access to Speech Recognition", permission},
      {"User denied access to the microphone", runtime},   // needs both phrases
      {"denied access; recognition failed", recognition},  // falls to a later row
      {"Network connection lost", network},
      {"No INTERNET", network},
      {"network error during recognition", network},  // network before recognition
      {"Permission lost on the network", permission},
      {"Recognizer busy", recognition},
      {"Speech recognition failed", recognition},
      {"", runtime},
      {"Something else went wrong", runtime},
      {"\u0130NTERNET", runtime},  // dotted capital I lower-cases to i + U+0307
      {"NETW\u00d6RK", runtime},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(classifyRecognitionError(c.description), c.expected) << c.description;
  }
}

}  // namespace
}  // namespace tellwyn
