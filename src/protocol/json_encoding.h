#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/bridge_message.h"

namespace tellwyn {

// Compact JSON text of the records on standard output: members in field
// order, absent fields left out, "/" written as "\/", control characters
// escaped, everything else (non-ASCII included) as raw UTF-8. None when a
// field is not valid UTF-8.
std::optional<std::string> encodeJson(const BridgeMessage& message);
std::optional<std::string> encodeJson(const std::vector<DeviceInfo>& devices);
std::optional<std::string> encodeJson(const AuthStatusInfo& report);

// Appends `text` as a JSON string literal, quotes included.
void appendJsonString(std::string& out, std::string_view text);

// Whether `bytes` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool isValidUtf8(std::string_view bytes);

}  // namespace tellwyn
