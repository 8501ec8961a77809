#include "protocol/json_encoding.h"

#include <cstdint>

namespace tellwyn {
namespace {

// Builds one JSON object member by member, remembering whether every text
// was valid UTF-8.
class JsonObjectWriter {
 public:
  explicit JsonObjectWriter(std::string& out) : out_(out) { out_ += '{'; }

  void optionalText(std::string_view name, const std::optional<std::string>& value) {
    if (value) text(name, *value);
  }
  void text(std::string_view name, std::string_view value) {
    valid_ = valid_ && isValidUtf8(value);
    key(name);
    appendJsonString(out_, value);
  }
  void boolean(std::string_view name, bool value) {
    key(name);
    out_ += value ? "true" : "false";
  }
  bool finish() {
    out_ += '}';
    return valid_;
  }

 private:
  void key(std::string_view name) {
    if (!first_) out_ += ',';
    first_ = false;
    appendJsonString(out_, name);
    out_ += ':';
  }

  std::string& out_;
  bool first_ = true;
  bool valid_ = true;
};

bool writeDevice(std::string& out, const DeviceInfo& device) {
  JsonObjectWriter object(out);
  object.text("deviceId", device.deviceId);
  object.text("label", device.label);
  return object.finish();
}

}  // namespace

namespace {

// Whether `c` goes into a JSON string as itself.
constexpr bool isPlainJsonByte(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte >= 0x20 && c != '"' && c != '\\' && c != '/';
}

void appendEscaped(std::string& out, char c) {
  static constexpr char kHex[] = "0123456789abcdef";
  switch (c) {
    case '"':
      out += "\\\"";
      break;
    case '\\':
      out += "\\\\";
      break;
    case '/':
      out += "\\/";
      break;
    case '\n':
      out += "\\n";
      break;
    case '\r':
      out += "\\r";
      break;
    case '\t':
      out += "\\t";
      break;
    case '\b':
      out += "\\b";
      break;
    case '\f':
      out += "\\f";
      break;
    default: {
      const auto byte = static_cast<unsigned char>(c);
      out += "\\u00";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    }
  }
}

}  // namespace

void appendJsonString(std::string& out, std::string_view text) {
  out.reserve(out.size() + text.size() + 2);
  out += '"';
  // Copy runs of bytes that need no escape in one append each.
  std::size_t runStart = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!isPlainJsonByte(text[i])) {
      out.append(text.data() + runStart, i - runStart);
      appendEscaped(out, text[i]);
      runStart = i + 1;
    }
  }
  out.append(text.data() + runStart, text.size() - runStart);
  out += '"';
}

bool isValidUtf8(std::string_view bytes) {
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  while (i < n) {
    const auto b0 = static_cast<unsigned char>(bytes[i]);
    if (b0 < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    std::uint32_t lowest = 0;
    std::uint32_t codePoint = 0;
    if ((b0 & 0xE0) == 0xC0) {
      length = 2, lowest = 0x80, codePoint = b0 & 0x1F;
    } else if ((b0 & 0xF0) == 0xE0) {
      length = 3, lowest = 0x800, codePoint = b0 & 0x0F;
    } else if ((b0 & 0xF8) == 0xF0) {
      length = 4, lowest = 0x10000, codePoint = b0 & 0x07;
    } else {
      return false;
    }
    if (n - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto b = static_cast<unsigned char>(bytes[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      codePoint = (codePoint << 6) | (b & 0x3F);
    }
    if (codePoint < lowest || codePoint > 0x10FFFF ||
        (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

std::optional<std::string> encodeJson(const BridgeMessage& message) {
  std::string out;
  JsonObjectWriter object(out);
  object.text("type", rawValue(message.type));
  object.optionalText("text", message.text);
  object.optionalText("code", message.code);
  object.optionalText("reason", message.reason);
  object.optionalText("message", message.message);
  if (!object.finish()) return std::nullopt;
  return out;
}

std::optional<std::string> encodeJson(const std::vector<DeviceInfo>& devices) {
  std::string out = "[";
  bool valid = true;
  for (std::size_t i = 0; i < devices.size(); ++i) {
    if (i > 0) out += ',';
    valid = writeDevice(out, devices[i]) && valid;
  }
  out += ']';
  if (!valid) return std::nullopt;
  return out;
}

std::optional<std::string> encodeJson(const AuthStatusInfo& report) {
  std::string out;
  JsonObjectWriter object(out);
  object.text("microphone", report.microphone);
  object.text("speech", report.speech);
  object.boolean("micGranted", report.micGranted);
  object.boolean("speechGranted", report.speechGranted);
  object.optionalText("bundleIdentifier", report.bundleIdentifier);
  object.optionalText("executablePath", report.executablePath);
  if (!object.finish()) return std::nullopt;
  return out;
}

}  // namespace tellwyn
