#include "platform/property_list.h"

#include <gtest/gtest.h>

#include <string>

namespace tellwyn {
namespace {

std::string plist(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
         "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
         "<plist version=\"1.0\">\n" +
         body + "\n</plist>\n";
}

TEST(PropertyListTest, ReadsEveryPlainValueType) {
  const auto dictionary = parseInfoPlist(plist(R"(<dict>
  <!-- a comment between entries -->
  <key>Name</key>  <string>Tellwyn</string>
  <key>Escaped</key><string>a &amp; b &lt;c&gt; &quot;d&quot; &apos;e&apos; &#233;&#x2028;</string>
  <key>Empty</key><string/>
  <key>EmptyPair</key><string></string>
  <key>Yes</key><true/>
  <key>No</key><false/>
  <key>YesPair</key><true></true>
  <key>NoPair</key><false></false >
  <key>Count</key><integer>-42</integer>
  <key>Big</key><integer>9007199254740993</integer>
  <key>Ratio</key><real>2.5</real>
  <key>Ratio</key><real>-1e3</real>
</dict>)"));
  ASSERT_TRUE(dictionary);
  const InfoDictionary expected = {
      {"Name", std::string("Tellwyn")},
      {"Escaped", std::string("a & b <c> \"d\" 'e' \xC3\xA9\xE2\x80\xA8")},
      {"Empty", std::string()},
      {"EmptyPair", std::string()},
      {"Yes", true},
      {"No", false},
      {"YesPair", true},
      {"NoPair", false},
      {"Count", std::int64_t{-42}},
      {"Big", std::int64_t{9007199254740993}},
      {"Ratio", -1000.0},  // a repeated key keeps its last value
  };
  EXPECT_EQ(*dictionary, expected);
}

TEST(PropertyListTest, EmptyDictionary) {
  for (const char* body : {"<dict/>", "<dict></dict>", "<dict>\n</dict>"}) {
    const auto dictionary = parseInfoPlist(plist(body));
    ASSERT_TRUE(dictionary) << body;
    EXPECT_TRUE(dictionary->empty()) << body;
  }
}

TEST(PropertyListTest, RejectsWhatItDoesNotRead) {
  const char* bodies[] = {
      "<array><string>x</string></array>",
      "<dict><key>A</key><dict/></dict>",
      "<dict><key>A</key><array/></dict>",
      "<dict><key>A</key><data>AAAA</data></dict>",
      "<dict><key>A</key><integer>1.5</integer></dict>",
      "<dict><key>A</key><integer></integer></dict>",
      "<dict><key>A</key><integer>99999999999999999999</integer></dict>",
      "<dict><key>A</key><real>x</real></dict>",
      "<dict><key>A</key><string>unclosed</dict>",
      "<dict><key>A</key><string>a &bogus; b</string></dict>",
      "<dict><key>A</key><string>&#0;</string></dict>",
      "<dict><key>A</key><string>&#xD800;</string></dict>",
      "<dict><key>A</key><string>a & b</string></dict>",
      "<dict><key>A</key></dict>",
      "<dict><string>no key</string></dict>",
      "<dict><key>A</key><string>x</string>",
      "<dict><key>A</key><true></false></dict>",
      "<dict><key>A</key><false>x</false></dict>",
      "<dict><key>A</key><true></dict>",
  };
  for (const char* body : bodies) {
    EXPECT_FALSE(parseInfoPlist(plist(body))) << body;
  }
  EXPECT_FALSE(parseInfoPlist(""));
  EXPECT_FALSE(parseInfoPlist("<dict></dict>"));
  EXPECT_FALSE(parseInfoPlist("<plist><dict/></plist><plist/>"));
  EXPECT_FALSE(parseInfoPlist("<plist><dict/></plist"));
  EXPECT_FALSE(parseInfoPlist("<!-- unterminated <plist><dict/></plist>"));
}

}  // namespace
}  // namespace tellwyn
