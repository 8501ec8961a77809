#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tellwyn {

// The kinds of message written to standard output.
enum class BridgeMessageType { partial, final, error };

// The text that goes on the wire for `type`.
std::string_view rawValue(BridgeMessageType type);

// One transcript or error message on standard output. A plain value.
struct BridgeMessage {
  BridgeMessageType type = BridgeMessageType::partial;
  std::optional<std::string> text;
  std::optional<std::string> code;
  std::optional<std::string> reason;
  std::optional<std::string> message;

  static BridgeMessage partial(std::string text);
  static BridgeMessage final(std::string text);
  static BridgeMessage error(std::string code, std::optional<std::string> reason,
                             std::optional<std::string> message);

  bool operator==(const BridgeMessage&) const = default;
};

// One audio input device in the device list. A plain value.
struct DeviceInfo {
  std::string deviceId;
  std::string label;

  bool operator==(const DeviceInfo&) const = default;
};

// The permission status report. A plain value.
struct AuthStatusInfo {
  std::string microphone;
  std::string speech;
  bool micGranted = false;
  bool speechGranted = false;
  std::optional<std::string> bundleIdentifier;
  std::optional<std::string> executablePath;

  bool operator==(const AuthStatusInfo&) const = default;
};

}  // namespace tellwyn
