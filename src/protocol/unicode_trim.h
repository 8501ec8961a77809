#pragma once

#include <string_view>

namespace tellwyn {

// Removes white space and line breaks from both ends of valid UTF-8 text:
// the Unicode space, line and paragraph separators (Zs, Zl, Zp) and the
// control characters U+0009 to U+000D and U+0085. Returns a view into
// `text`. Pure function; any thread.
std::string_view trimUnicodeWhitespace(std::string_view text);

}  // namespace tellwyn
