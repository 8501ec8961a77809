#include "speech/transcript_text.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>
#include <memory>

#include "protocol/unicode_trim.h"

namespace tellwyn {
namespace {

// Closes a UText opened on caller-owned UTF-8.
struct UTextCloser {
  void operator()(UText* text) const { utext_close(text); }
};
using UTextPtr = std::unique_ptr<UText, UTextCloser>;

UTextPtr openUtf8(std::string_view text, UErrorCode& status) {
  return UTextPtr(
      utext_openUTF8(nullptr, text.data(), static_cast<std::int64_t>(text.size()), &status));
}

std::unique_ptr<icu::BreakIterator> characterIterator(UText* text, UErrorCode& status) {
  std::unique_ptr<icu::BreakIterator> iterator(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_SUCCESS(status)) iterator->setText(text, status);
  return iterator;
}

// Canonical equivalence of two characters: equal bytes, or equal canonical
// decompositions.
bool sameCharacter(std::string_view first, std::string_view second,
                   const icu::Normalizer2& decomposition) {
  if (first == second) return true;
  UErrorCode status = U_ZERO_ERROR;
  const icu::UnicodeString a =
      decomposition.normalize(icu::UnicodeString::fromUTF8(icu::StringPiece(
                                  first.data(), static_cast<std::int32_t>(first.size()))),
                              status);
  const icu::UnicodeString b =
      decomposition.normalize(icu::UnicodeString::fromUTF8(icu::StringPiece(
                                  second.data(), static_cast<std::int32_t>(second.size()))),
                              status);
  return U_SUCCESS(status) && a == b;
}

}  // namespace

std::string trimWhitespaceAndNewlines(std::string_view text) {
  return std::string(trimUnicodeWhitespace(text));
}

std::string lowercased(std::string_view text) {
  icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size())));
  unicode.toLower(icu::Locale::getRoot());
  std::string result;
  unicode.toUTF8String(result);
  return result;
}

namespace {

// The last character boundary at or before `offset`.
std::int32_t boundaryAtOrBefore(icu::BreakIterator& characters, std::int32_t offset) {
  if (characters.isBoundary(offset)) return offset;
  const std::int32_t before = characters.preceding(offset);
  return before == icu::BreakIterator::DONE ? 0 : before;
}

// The furthest offset up to which the texts are byte for byte equal and
// which is a character boundary in both. Characters before it are equal and
// sit at the same offsets in both texts, since grapheme boundaries depend only
// on nearby code points. Found without walking the texts from the start, so a
// long shared transcript costs a byte comparison, not a grapheme walk.
std::int32_t sharedBoundary(std::string_view first, std::string_view second,
                            icu::BreakIterator& firstCharacters,
                            icu::BreakIterator& secondCharacters) {
  const std::size_t shorter = std::min(first.size(), second.size());
  std::size_t equalBytes = 0;
  while (equalBytes < shorter && first[equalBytes] == second[equalBytes]) ++equalBytes;
  auto a = boundaryAtOrBefore(firstCharacters, static_cast<std::int32_t>(equalBytes));
  auto b = boundaryAtOrBefore(secondCharacters, static_cast<std::int32_t>(equalBytes));
  while (a != b) {
    if (a > b) {
      a = boundaryAtOrBefore(firstCharacters, b);
    } else {
      b = boundaryAtOrBefore(secondCharacters, a);
    }
  }
  return a;
}

}  // namespace

CharacterPrefix commonCharacterPrefix(std::string_view first, std::string_view second) {
  CharacterPrefix prefix;
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* decomposition = icu::Normalizer2::getNFDInstance(status);
  UTextPtr firstText = openUtf8(first, status);
  UTextPtr secondText = openUtf8(second, status);
  if (U_FAILURE(status)) return prefix;
  auto firstCharacters = characterIterator(firstText.get(), status);
  auto secondCharacters = characterIterator(secondText.get(), status);
  if (U_FAILURE(status)) return prefix;

  // Skip the byte-identical start, then compare character by character.
  // Boundaries are byte offsets: the UTexts index the UTF-8 directly.
  std::int32_t firstStart = sharedBoundary(first, second, *firstCharacters, *secondCharacters);
  std::int32_t secondStart = firstStart;
  prefix.firstBytes = static_cast<std::size_t>(firstStart);
  prefix.secondBytes = static_cast<std::size_t>(secondStart);
  firstCharacters->isBoundary(firstStart);  // positions both iterators there
  secondCharacters->isBoundary(secondStart);
  for (;;) {
    const std::int32_t firstEnd = firstCharacters->next();
    const std::int32_t secondEnd = secondCharacters->next();
    if (firstEnd == icu::BreakIterator::DONE || secondEnd == icu::BreakIterator::DONE) break;
    const auto a = first.substr(static_cast<std::size_t>(firstStart),
                                static_cast<std::size_t>(firstEnd - firstStart));
    const auto b = second.substr(static_cast<std::size_t>(secondStart),
                                 static_cast<std::size_t>(secondEnd - secondStart));
    if (!sameCharacter(a, b, *decomposition)) break;
    prefix.firstBytes = static_cast<std::size_t>(firstEnd);
    prefix.secondBytes = static_cast<std::size_t>(secondEnd);
    firstStart = firstEnd;
    secondStart = secondEnd;
  }
  return prefix;
}

}  // namespace tellwyn
