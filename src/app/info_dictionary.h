#pragma once

#include <optional>
#include <string_view>

#include "platform/bundle.h"

namespace tellwyn {

// The bytes of Info.plist as embedded in the executable's
// "tellwyn_info_plist" section. They live as long as the process; any thread.
std::string_view embeddedInfoPlist();

// The embedded property list read as an information dictionary, or none if
// it does not parse. Any thread.
std::optional<InfoDictionary> embeddedInfoDictionary();

}  // namespace tellwyn
