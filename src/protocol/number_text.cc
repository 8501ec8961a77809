#include "protocol/number_text.h"

#include <array>
#include <charconv>
#include <cmath>

namespace tellwyn {
namespace {

template <typename Float>
std::string shortest(Float value) {
  std::array<char, 64> buffer{};
  const auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  std::string text(buffer.data(), ec == std::errc() ? end : buffer.data());
  if (std::isfinite(value) && text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

}  // namespace

std::string shortestDecimal(double value) { return shortest(value); }
std::string shortestDecimal(float value) { return shortest(value); }

}  // namespace tellwyn
