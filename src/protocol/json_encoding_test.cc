#include "protocol/json_encoding.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/bridge_message.h"

namespace tellwyn {
namespace {

TEST(JsonEncodingTest, MessageEncodings) {
  struct Case {
    const char* name;
    BridgeMessage message;
    const char* json;
  };
  const Case cases[] = {
      {"partial", BridgeMessage::partial("hello world"),
       R"({"type":"partial","text":"hello world"})"},
      {"final", BridgeMessage::final("done"), R"({"type":"final","text":"done"})"},
      {"empty text is kept", BridgeMessage::final(""), R"({"type":"final","text":""})"},
      {"only type and code", BridgeMessage::error("retryable", std::nullopt, std::nullopt),
       R"({"type":"error","code":"retryable"})"},
      {"full error", BridgeMessage::error("permission_denied", "microphone", "Denied"),
       R"({"type":"error","code":"permission_denied","reason":"microphone","message":"Denied"})"},
      {"slash", BridgeMessage::partial("a/b"), R"({"type":"partial","text":"a\/b"})"},
      {"quote and backslash", BridgeMessage::partial("say \"hi\" \\"),
       R"({"type":"partial","text":"say \"hi\" \\"})"},
      {"named controls", BridgeMessage::partial("a\nb\rc\td\be\ff"),
       R"({"type":"partial","text":"a\nb\rc\td\be\ff"})"},
      {"other controls", BridgeMessage::partial(std::string("\x01\x1f\x7f", 3)),
       "{\"type\":\"partial\",\"text\":\"\\u0001\\u001f\x7f\"}"},
      {"nul byte", BridgeMessage::partial(std::string("a\0b", 3)),
       R"({"type":"partial","text":"a\u0000b"})"},
      {"non-ASCII stays raw", BridgeMessage::partial("café 東京 👋🏽"),
       R"({"type":"partial","text":"café 東京 👋🏽"})"},
      {"line separators stay raw", BridgeMessage::partial("a\u2028b"),
       "{\"type\":\"partial\",\"text\":\"a\u2028b\"}"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(encodeJson(c.message), std::optional<std::string>(c.json)) << c.name;
  }
}

TEST(JsonEncodingTest, InvalidUtf8InAnyFieldEncodesNothing) {
  const std::string bad = "ok\xff";
  EXPECT_EQ(encodeJson(BridgeMessage::partial(bad)), std::nullopt);
  EXPECT_EQ(encodeJson(BridgeMessage::error("retryable", std::nullopt, bad)), std::nullopt);
  EXPECT_EQ(encodeJson(std::vector<DeviceInfo>{{"id", bad}}), std::nullopt);
  EXPECT_EQ(encodeJson(AuthStatusInfo{"authorized", bad, true, true, std::nullopt, std::nullopt}),
            std::nullopt);
}

TEST(JsonEncodingTest, Utf8Validation) {
  struct Case {
    std::string bytes;
    bool valid;
  };
  const Case cases[] = {
      {"", true},
      {"plain", true},
      {"\xc3\xa9", true},           // é
      {"\xf0\x9f\x91\x8b", true},   // U+1F44B
      {"\xf4\x8f\xbf\xbf", true},   // U+10FFFF
      {"\xc0\xaf", false},          // overlong "/"
      {"\xe0\x80\xaf", false},      // overlong
      {"\xed\xa0\x80", false},      // surrogate
      {"\xf4\x90\x80\x80", false},  // above U+10FFFF
      {"\xc3", false},              // truncated
      {"\x80", false},              // stray continuation
      {"\xfe", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isValidUtf8(c.bytes), c.valid) << testing::PrintToString(c.bytes);
  }
}

TEST(JsonEncodingTest, DeviceListsAndReports) {
  EXPECT_EQ(encodeJson(std::vector<DeviceInfo>{}), std::optional<std::string>("[]"));
  EXPECT_EQ(encodeJson(std::vector<DeviceInfo>{{"alsa_input.usb", "USB Mic"}, {"", ""}}),
            std::optional<std::string>(
                R"([{"deviceId":"alsa_input.usb","label":"USB Mic"},{"deviceId":"","label":""}])"));
  EXPECT_EQ(encodeJson(AuthStatusInfo{"authorized", "denied", true, false, "org.tellwyn.Tellwyn",
                                      "/usr/bin/tellwyn"}),
            std::optional<std::string>(
                R"({"microphone":"authorized","speech":"denied","micGranted":true,)"
                R"("speechGranted":false,"bundleIdentifier":"org.tellwyn.Tellwyn",)"
                R"("executablePath":"\/usr\/bin\/tellwyn"})"));
  EXPECT_EQ(encodeJson(AuthStatusInfo{"a", "b", false, false, std::nullopt, std::nullopt}),
            std::optional<std::string>(
                R"({"microphone":"a","speech":"b","micGranted":false,"speechGranted":false})"));
}

}  // namespace
}  // namespace tellwyn
