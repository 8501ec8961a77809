#include "app/info_dictionary.h"

#include <cstddef>

#include "platform/property_list.h"

// Defined in info_plist_section.S around the embedded bytes.
extern "C" const char tellwyn_info_plist_begin[];
extern "C" const char tellwyn_info_plist_end[];

namespace tellwyn {

std::string_view embeddedInfoPlist() {
  return {tellwyn_info_plist_begin,
          static_cast<std::size_t>(tellwyn_info_plist_end - tellwyn_info_plist_begin)};
}

std::optional<InfoDictionary> embeddedInfoDictionary() {
  return parseInfoPlist(embeddedInfoPlist());
}

}  // namespace tellwyn
