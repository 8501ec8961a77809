#include "app/info_dictionary.h"

#include <gtest/gtest.h>

#include <string>

#include "support/temp_files.h"

namespace tellwyn {
namespace {

TEST(InfoDictionaryTest, EmbeddedBytesAreTheSourcePropertyList) {
  const std::string source =
      testing::readFile(std::string(TELLWYN_SOURCE_DIR) + "/src/app/Info.plist");
  ASSERT_FALSE(source.empty());
  EXPECT_EQ(embeddedInfoPlist(), source);
}

TEST(InfoDictionaryTest, EmbeddedDictionaryHoldsTheApplicationEntries) {
  const auto dictionary = embeddedInfoDictionary();
  ASSERT_TRUE(dictionary);
  const InfoDictionary expected = {
      {"CFBundleDisplayName", std::string("Tellwyn")},
      {"CFBundleExecutable", std::string("Tellwyn")},
      {"CFBundleIdentifier", std::string("org.tellwyn.Tellwyn")},
      {"CFBundleInfoDictionaryVersion", std::string("6.0")},
      {"CFBundleName", std::string("Tellwyn")},
      {"CFBundlePackageType", std::string("APPL")},
      {"CFBundleShortVersionString", std::string("0.0.0")},
      {"CFBundleVersion", std::string("0.0.0")},
      {"NSMicrophoneUsageDescription",
       std::string("Enable microphone access for live interview transcription.")},
      {"NSSpeechRecognitionUsageDescription",
       std::string("Enable speech recognition for live interview transcription.")},
  };
  EXPECT_EQ(*dictionary, expected);
}

}  // namespace
}  // namespace tellwyn
