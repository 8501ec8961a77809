#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tellwyn {

// Text rules for transcripts (and the config channel's trim). Text is UTF-8.
// Pure functions; any thread.

// Removes whole code points from both ends of `text` while they are Unicode
// separators (general categories Zs, Zl, Zp), U+0009 to U+000D or U+0085.
// Trimming stops at a byte sequence that is not valid UTF-8.
std::string trimWhitespaceAndNewlines(std::string_view text);

// The full Unicode default lower-case mapping (root locale), which may change
// the length of the text.
std::string lowercased(std::string_view text);

// The longest common prefix of two texts in user-perceived characters
// (extended grapheme clusters), two characters being equal when they are
// canonically equivalent. Comparison is case-sensitive and stops at the first
// unequal pair. A byte-identical start is skipped without walking it, so a
// long shared transcript costs little more than a byte comparison.
struct CharacterPrefix {
  std::size_t firstBytes = 0;   // where the shared characters end in `first`
  std::size_t secondBytes = 0;  // where they end in `second`; 0: none shared

  bool empty() const { return secondBytes == 0; }

  bool operator==(const CharacterPrefix&) const = default;
};
CharacterPrefix commonCharacterPrefix(std::string_view first, std::string_view second);

}  // namespace tellwyn
