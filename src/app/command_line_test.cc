#include "app/command_line.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace tellwyn {
namespace {

BridgeCommandLineConfig parse(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), "/usr/bin/tellwyn");
  return BridgeCommandLineConfig::parse(arguments);
}

TEST(CommandLineTest, DefaultsWithOnlyTheExecutable) {
  const auto config = parse({});
  EXPECT_EQ(config.language, std::nullopt);
  EXPECT_EQ(config.deviceUID, std::nullopt);
  EXPECT_EQ(config.authStatusFile, std::nullopt);
  EXPECT_EQ(config.silenceMsValue, 1200);
  EXPECT_FALSE(config.setupMode || config.listDevicesMode || config.authStatusMode ||
               config.skipSpeechAuthCheckMode);
  EXPECT_DOUBLE_EQ(config.finalizeDelaySeconds(), 1.2);
}

TEST(CommandLineTest, SilenceValues) {
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    std::string text;
    double stored;  // NaN means not-a-number
    double seconds;
  };
  const Case cases[] = {
      {"800", 800, 0.8},    {"1.5e3", 1500, 1.5}, {"0x1p4", 16, 0.1},   {"50", 50, 0.1},
      {"0", 0, 0.1},        {"-200", -200, 0.1},  {"nan", NAN, 0.1},    {"inf", inf, inf},
      {"-inf", -inf, 0.1},  {"", 1200, 1.2},      {"abc", 1200, 1.2},   {"800ms", 1200, 1.2},
      {" 800", 1200, 1.2},  {"800 ", 1200, 1.2},  {"1e999", 1200, 1.2}, {"1e-999", 1200, 1.2},
      {"800,5", 1200, 1.2},
  };
  for (const auto& c : cases) {
    const auto config = parse({"--silence-ms=" + c.text});
    if (std::isnan(c.stored)) {
      EXPECT_TRUE(std::isnan(config.silenceMsValue)) << c.text;
    } else {
      EXPECT_EQ(config.silenceMsValue, c.stored) << c.text;
    }
    EXPECT_DOUBLE_EQ(config.finalizeDelaySeconds(), c.seconds) << c.text;
  }
}

TEST(CommandLineTest, SilenceIsReadInTheCLocaleWhateverTheProcessLocale) {
  // A locale with a decimal comma, if this machine has one.
  const char* previous = std::setlocale(LC_NUMERIC, nullptr);
  const std::string saved = previous ? previous : "C";
  if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr &&
      std::setlocale(LC_NUMERIC, "fr_FR.UTF-8") == nullptr) {
    GTEST_SKIP() << "no decimal-comma locale installed";
  }
  EXPECT_EQ(parse({"--silence-ms=800.5"}).silenceMsValue, 800.5);
  EXPECT_EQ(parse({"--silence-ms=800,5"}).silenceMsValue, 1200);
  std::setlocale(LC_NUMERIC, saved.c_str());
}

TEST(CommandLineTest, ValueOptionsAndFlags) {
  struct Case {
    std::vector<std::string> arguments;
    std::optional<std::string> language;
    std::optional<std::string> deviceUID;
    std::optional<std::string> authStatusFile;
  };
  const Case cases[] = {
      {{"--language=en-US", "--language=fr-FR"}, "en-US", std::nullopt, std::nullopt},
      {{"--language=de--language=AT"}, "deAT", std::nullopt, std::nullopt},
      {{"--language="}, "", std::nullopt, std::nullopt},
      {{"--device-id=alsa_input.usb-Mic"}, std::nullopt, "alsa_input.usb-Mic", std::nullopt},
      {{"--device-id=ab--device-id=cd"}, std::nullopt, "abcd", std::nullopt},
      {{"--language", "en"}, std::nullopt, std::nullopt, std::nullopt},
      {{"x--device-id=a"}, std::nullopt, std::nullopt, std::nullopt},
      {{"--auth-status-file=/tmp/a.json"}, std::nullopt, std::nullopt, "/tmp/a.json"},
      {{"--auth-status-file="}, std::nullopt, std::nullopt, ""},
  };
  for (const auto& c : cases) {
    const auto config = parse(c.arguments);
    EXPECT_EQ(config.language, c.language) << c.arguments[0];
    EXPECT_EQ(config.deviceUID, c.deviceUID) << c.arguments[0];
    EXPECT_EQ(config.authStatusFile, c.authStatusFile) << c.arguments[0];
    EXPECT_FALSE(config.authStatusMode) << c.arguments[0];
  }

  const auto flags = parse(
      {"--setup", "--setup", "--LIST-DEVICES", "--auth-status=1", "--skip-speech-auth-check"});
  EXPECT_TRUE(flags.setupMode);
  EXPECT_FALSE(flags.listDevicesMode);
  EXPECT_FALSE(flags.authStatusMode);
  EXPECT_TRUE(flags.skipSpeechAuthCheckMode);
  EXPECT_TRUE(parse({"--list-devices", "--auth-status"}).authStatusMode);
}

TEST(CommandLineTest, TheExecutablePathIsScannedLikeAnyArgument) {
  EXPECT_TRUE(BridgeCommandLineConfig::parse({"--setup"}).setupMode);
  EXPECT_EQ(BridgeCommandLineConfig::parse({"--language=xx", "--language=en"}).language, "xx");
}

}  // namespace
}  // namespace tellwyn
