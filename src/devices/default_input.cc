#include "devices/default_input.h"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>
#include <string_view>

#include "devices/device_list.h"
#include "protocol/output.h"

namespace tellwyn {

namespace {

constexpr char kStatusDomain[] = "AudioDeviceStatus";
constexpr std::int64_t kNotFoundCode = -1;
constexpr char kNotFoundDescription[] = "Input device not found";

constexpr int kMaxSettleChecks = 12;
constexpr double kSettlePollSeconds = 0.05;
constexpr double kSettleFinalPauseSeconds = 0.15;

Error statusError(AudioDeviceSystem& system, AudioStatus status) {
  return Error{kStatusDomain, status, system.describeStatus(status)};
}

Error notFoundError() { return Error{kStatusDomain, kNotFoundCode, kNotFoundDescription}; }

bool isAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool isValidUtf8(std::string_view text) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int32_t>(text.size());
  std::int32_t offset = 0;
  while (offset < length) {
    UChar32 c = 0;
    U8_NEXT(bytes, offset, length, c);
    if (c < 0) return false;
  }
  return true;
}

// Text equality under canonical equivalence: precomposed and decomposed
// spellings of the same characters are equal; letter case still counts.
// Bytes that are not UTF-8 compare only byte for byte, so two different
// malformed texts never meet in a shared replacement character.
bool uidsEqual(std::string_view a, std::string_view b) {
  if (a == b) return true;
  if (isAscii(a) && isAscii(b)) return false;
  if (a.size() > static_cast<std::size_t>(INT32_MAX) ||
      b.size() > static_cast<std::size_t>(INT32_MAX) || !isValidUtf8(a) || !isValidUtf8(b)) {
    return false;
  }
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
  if (U_FAILURE(status)) return false;
  const icu::UnicodeString left = nfd->normalize(
      icu::UnicodeString::fromUTF8(icu::StringPiece(a.data(), static_cast<std::int32_t>(a.size()))),
      status);
  const icu::UnicodeString right = nfd->normalize(
      icu::UnicodeString::fromUTF8(icu::StringPiece(b.data(), static_cast<std::int32_t>(b.size()))),
      status);
  return U_SUCCESS(status) && left == right;
}

}  // namespace

Status setDefaultInputDevice(AudioDeviceSystem& system, const std::string& deviceUID) {
  const DeviceListRead list = readDeviceList(system);
  if (list.status != kAudioNoError) return statusError(system, list.status);
  if (list.devices.empty()) return notFoundError();

  std::optional<AudioObjectId> match;
  for (const AudioObjectId device : list.devices) {
    const auto uid = readTextProperty(system, device, DeviceTextProperty::kUid);
    if (uid && uidsEqual(*uid, deviceUID)) {
      match = device;
      break;
    }
  }
  if (!match) return notFoundError();

  const AudioStatus status = system.writeDefaultInputDevice(sizeof(AudioObjectId), *match);
  if (status != kAudioNoError) return statusError(system, status);
  return {};
}

std::optional<std::string> currentDefaultInputDeviceUID(AudioDeviceSystem& system) {
  AudioObjectId device = kAudioObjectUnknown;
  std::uint32_t size = sizeof device;
  if (system.readDefaultInputDevice(size, device) != kAudioNoError) return std::nullopt;
  return readTextProperty(system, device, DeviceTextProperty::kUid);
}

void stabilizeInputRoute(AudioDeviceSystem& system, Sleeper& sleeper,
                         const std::string& deviceUID) {
  for (int attempt = 1;; ++attempt) {
    const auto uid = currentDefaultInputDeviceUID(system);
    if (uid && uidsEqual(*uid, deviceUID)) {
      if (attempt >= 2) emitDebug("input route settled attempts=" + std::to_string(attempt));
      sleeper.sleepFor(kSettleFinalPauseSeconds);
      return;
    }
    sleeper.sleepFor(kSettlePollSeconds);
    if (attempt == kMaxSettleChecks) {
      emitDebug("input route settle timeout target=" + deviceUID);
      sleeper.sleepFor(kSettleFinalPauseSeconds);
      return;
    }
  }
}

}  // namespace tellwyn
