#pragma once

#include <optional>
#include <string>

#include "platform/bundle.h"

namespace tellwyn {

// A bundle whose answers the test sets directly. Any thread once set up.
class FakeBundle : public Bundle {
 public:
  std::optional<std::string> bundleIdentifier() override { return identifier; }
  std::optional<std::string> executablePath() override { return executable; }
  std::optional<InfoDictionary> infoDictionary() override { return dictionary; }

  std::optional<std::string> identifier = "org.tellwyn.Tellwyn";
  std::optional<std::string> executable = "/usr/bin/tellwyn";
  std::optional<InfoDictionary> dictionary;
};

}  // namespace tellwyn
