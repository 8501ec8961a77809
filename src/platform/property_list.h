#pragma once

#include <optional>
#include <string_view>

#include "platform/bundle.h"

namespace tellwyn {

// Reads an XML property list whose top level is one dictionary of plain
// values (<string>, <true/>, <false/>, <integer>, <real>), as an information
// dictionary is written. The XML declaration, a DOCTYPE, comments and white
// space between elements are skipped; the five predefined entities and
// numeric character references are decoded. Anything else (nested
// containers, data, dates, malformed text) gives none. A repeated key keeps
// its last value. Pure function; any thread.
std::optional<InfoDictionary> parseInfoPlist(std::string_view xml);

}  // namespace tellwyn
