#pragma once

#include <string_view>

namespace tellwyn {

// The code and reason of the error line for a recognizer failure.
struct RecognitionErrorClass {
  std::string_view code;
  std::string_view reason;

  bool operator==(const RecognitionErrorClass&) const = default;
};

// Classifies a recognizer failure by keywords in its (lower-cased)
// description: permission, then network, then recognition, else a runtime
// error. Pure function; any thread.
RecognitionErrorClass classifyRecognitionError(std::string_view description);

}  // namespace tellwyn
