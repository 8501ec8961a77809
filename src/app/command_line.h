#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tellwyn {

// The parsed command line: a value built once from the whole argument list
// and never changed. Parsing never fails and prints nothing.
struct BridgeCommandLineConfig {
  std::optional<std::string> language;
  std::optional<std::string> deviceUID;
  double silenceMsValue = 1200;
  bool setupMode = false;
  bool listDevicesMode = false;
  bool authStatusMode = false;
  bool skipSpeechAuthCheckMode = false;
  std::optional<std::string> authStatusFile;

  // `arguments` is the complete argument list, the executable's path first.
  static BridgeCommandLineConfig parse(const std::vector<std::string>& arguments);

  // The silence delay in seconds, never below 0.1 (not-a-number gives 0.1).
  double finalizeDelaySeconds() const;
};

// Converts the text of "--silence-ms=" to milliseconds: the whole text must
// parse as a C-locale strtod number without leading white space, and must
// neither overflow nor underflow to zero; otherwise none.
std::optional<double> parseSilenceMs(const std::string& text);

}  // namespace tellwyn
