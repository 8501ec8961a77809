#include "speech/transcript_text.h"

#include <gtest/gtest.h>

#include <string>

namespace tellwyn {
namespace {

TEST(TrimWhitespaceAndNewlinesTest, RemovesTheSeparatorAndControlSetFromBothEnds) {
  struct Case {
    std::string text;
    std::string trimmed;
  };
  const Case cases[] = {
      {"", ""},
      {" \t\n\v\f\r", ""},
      {"  hello world \r\n", "hello world"},
      {"\u3000\u2029\u0085hello\u2028\u00a0\u202f", "hello"},  // Zs, Zp, NEL, Zl, NBSP
      {"a \u3000 b", "a \u3000 b"},                            // inner space kept
      {"\u200bhello\u200b", "\u200bhello\u200b"},              // zero width space is Cf
      {"\ufeffhello", "\ufeffhello"},                          // so is the byte-order mark
      {"\x1chello\x1f", "\x1chello\x1f"},                      // other controls stay
      {" e\u0301 ", "e\u0301"},
      {" \xff ", "\xff"},  // trimming stops at bytes that are not UTF-8
      {"\xe3\x80", "\xe3\x80"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(trimWhitespaceAndNewlines(c.text), c.trimmed) << c.text;
  }
}

TEST(LowercasedTest, FullDefaultMapping) {
  EXPECT_EQ(lowercased("Speech PERMISSION Denied"), "speech permission denied");
  // Full mapping: capital I with dot above becomes i + combining dot (longer).
  EXPECT_EQ(lowercased("\u0130"), "i\u0307");
  EXPECT_EQ(lowercased("\u00c9COUTE \u00c5"), "\u00e9coute \u00e5");
  EXPECT_EQ(lowercased("NETWORK\u00a0ERROR"), "network\u00a0error");
}

TEST(CommonCharacterPrefixTest, MatchesCanonicallyEqualGraphemeClusters) {
  struct Case {
    const char* name;
    std::string first;
    std::string second;
    CharacterPrefix prefix;
  };
  const Case cases[] = {
      {"empty", "", "abc", {0, 0}},
      {"extension", "hello", "hello world", {5, 5}},
      {"divergence", "hello world", "hello there", {6, 6}},
      {"case differs", "hello", "Hello", {0, 0}},
      {"inside a word", "hello", "help", {3, 3}},
      {"second is shorter", "hello world", "hell", {4, 4}},
      {"precomposed vs decomposed", "caf\u00e9 noir", "cafe\u0301 au lait", {6, 7}},
      {"base letter without its mark", "cafe\u0301", "cafe", {3, 3}},
      {"mark order is canonical", "a\u0323\u0302", "a\u0302\u0323x", {5, 5}},
      {"hangul syllable vs jamo", "\ud55c", "\u1112\u1161\u11ab!", {3, 9}},
      {"ZWJ family is one character",
       "\U0001F468\u200d\U0001F469\u200d\U0001F467 hi",
       "\U0001F468\u200d\U0001F469\u200d\U0001F467 ho",
       {20, 20}},
      {"family vs its first person", "\U0001F468\u200d\U0001F469", "\U0001F468 x", {0, 0}},
      {"flag is one character", "\U0001F1EB\U0001F1F7 ok", "\U0001F1EB\U0001F1F7 no", {9, 9}},
      {"different flags share a first indicator",
       "\U0001F1EB\U0001F1F7",
       "\U0001F1EB\U0001F1EE",
       {0, 0}},
      {"CRLF is one character", "\r\nA", "\r\nB", {2, 2}},
      // Equal bytes that end inside a character of the other text.
      {"equal bytes end before a mark",
       "a long shared start cafe",
       "a long shared start cafe\u0301",
       {23, 23}},
      {"equal bytes end before LF", "abc\r", "abc\r\n", {3, 3}},
      {"equal bytes split a flag",
       "\U0001F1EB\U0001F1F7\U0001F1EB",
       "\U0001F1EB\U0001F1F7\U0001F1EE",
       {8, 8}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(commonCharacterPrefix(c.first, c.second), c.prefix) << c.name;
  }
}

}  // namespace
}  // namespace tellwyn
