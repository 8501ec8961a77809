#include "app/info_dictionary.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

namespace tellwyn {
namespace {

TEST(InfoDictionaryTest, EmbeddedBytesAreTheSourcePropertyList) {
  std::ifstream in(std::string(TELLWYN_SOURCE_DIR) + "/src/app/Info.plist", std::ios::binary);
  std::ostringstream source;
  source << in.rdbuf();
  ASSERT_FALSE(source.str().empty());
  EXPECT_EQ(embeddedInfoPlist(), source.str());
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
