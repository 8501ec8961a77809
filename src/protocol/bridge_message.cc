#include "protocol/bridge_message.h"

#include <utility>

namespace tellwyn {

std::string_view rawValue(BridgeMessageType type) {
  switch (type) {
    case BridgeMessageType::partial:
      return "partial";
    case BridgeMessageType::final:
      return "final";
    case BridgeMessageType::error:
      return "error";
  }
  return "error";
}

BridgeMessage BridgeMessage::partial(std::string text) {
  return {BridgeMessageType::partial, std::move(text), std::nullopt, std::nullopt, std::nullopt};
}

BridgeMessage BridgeMessage::final(std::string text) {
  return {BridgeMessageType::final, std::move(text), std::nullopt, std::nullopt, std::nullopt};
}

BridgeMessage BridgeMessage::error(std::string code, std::optional<std::string> reason,
                                   std::optional<std::string> message) {
  return {BridgeMessageType::error, std::nullopt, std::move(code), std::move(reason),
          std::move(message)};
}

}  // namespace tellwyn
