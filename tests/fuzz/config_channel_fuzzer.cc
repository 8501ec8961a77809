// Feeds arbitrary byte streams to the config channel's line handling, as the
// reader thread would: the first byte chooses where the stream is cut into
// two reads, so lines split across reads are covered too.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "protocol/config_channel.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t cut = data[0];
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  tellwyn::BridgeConfigChannel channel([](double silenceMs) {
    // Only numbers reach the callback, never NaN (JSON has no NaN).
    if (std::isnan(silenceMs)) __builtin_trap();
  });
  const std::size_t first = cut < bytes.size() ? cut : bytes.size();
  channel.consume(bytes.substr(0, first));
  channel.consume(bytes.substr(first));
  return 0;
}
