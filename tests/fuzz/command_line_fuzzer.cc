// Feeds arbitrary argument lists to the command-line parser. The input is
// split at NUL bytes into arguments, the first one playing the executable's
// path.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> arguments(1);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      arguments.emplace_back();
    } else {
      arguments.back() += static_cast<char>(data[i]);
    }
  }
  const auto config = tellwyn::BridgeCommandLineConfig::parse(arguments);
  const double seconds = config.finalizeDelaySeconds();
  // The floor holds for every value, not-a-number included.
  if (!(seconds >= 0.1)) __builtin_trap();
  return 0;
}
