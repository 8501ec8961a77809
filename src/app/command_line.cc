#include "app/command_line.h"

#include <locale.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string_view>

namespace tellwyn {
namespace {

constexpr double kDefaultSilenceMs = 1200;
constexpr double kMinimumDelaySeconds = 0.1;

constexpr std::string_view kLanguage = "--language=";
constexpr std::string_view kDeviceId = "--device-id=";
constexpr std::string_view kSilenceMs = "--silence-ms=";
constexpr std::string_view kAuthStatusFile = "--auth-status-file=";

// The first argument that begins with `option`, with every occurrence of the
// option text removed.
std::optional<std::string> valueOption(const std::vector<std::string>& arguments,
                                       std::string_view option) {
  for (const auto& argument : arguments) {
    if (!argument.starts_with(option)) continue;
    std::string value;
    std::string_view rest = argument;
    for (auto at = rest.find(option); at != std::string_view::npos; at = rest.find(option)) {
      value += rest.substr(0, at);
      rest.remove_prefix(at + option.size());
    }
    value += rest;
    return value;
  }
  return std::nullopt;
}

bool flag(const std::vector<std::string>& arguments, std::string_view text) {
  for (const auto& argument : arguments) {
    if (argument == text) return true;
  }
  return false;
}

// The C locale, whatever locale the process runs in, so "1.5" parses the same
// everywhere.
locale_t cLocale() {
  struct Deleter {
    void operator()(locale_t locale) const { freelocale(locale); }
  };
  static const std::unique_ptr<std::remove_pointer_t<locale_t>, Deleter> locale(
      newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr)));
  return locale.get();
}

}  // namespace

std::optional<double> parseSilenceMs(const std::string& text) {
  if (text.empty()) return std::nullopt;
  switch (text.front()) {
    case ' ':
    case '\t':
    case '\n':
    case '\v':
    case '\f':
    case '\r':
      return std::nullopt;
    default:
      break;
  }
  char* end = nullptr;
  errno = 0;
  const double value = strtod_l(text.c_str(), &end, cLocale());
  if (end != text.c_str() + text.size()) return std::nullopt;
  // Overflow, or underflow all the way to zero; a subnormal result stands.
  if (errno == ERANGE && (std::isinf(value) || value == 0)) return std::nullopt;
  return value;
}

BridgeCommandLineConfig BridgeCommandLineConfig::parse(const std::vector<std::string>& arguments) {
  BridgeCommandLineConfig config;
  config.language = valueOption(arguments, kLanguage);
  config.deviceUID = valueOption(arguments, kDeviceId);
  config.authStatusFile = valueOption(arguments, kAuthStatusFile);
  config.silenceMsValue =
      parseSilenceMs(valueOption(arguments, kSilenceMs).value_or("")).value_or(kDefaultSilenceMs);
  config.setupMode = flag(arguments, "--setup");
  config.listDevicesMode = flag(arguments, "--list-devices");
  config.authStatusMode = flag(arguments, "--auth-status");
  config.skipSpeechAuthCheckMode = flag(arguments, "--skip-speech-auth-check");
  return config;
}

double BridgeCommandLineConfig::finalizeDelaySeconds() const {
  const double seconds = silenceMsValue / 1000;
  return seconds > kMinimumDelaySeconds ? seconds : kMinimumDelaySeconds;
}

}  // namespace tellwyn
