#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>

#include "platform/error.h"

namespace tellwyn {

// One value of the information dictionary: text, or another property-list
// type.
using InfoValue = std::variant<std::string, bool, std::int64_t, double>;
using InfoDictionary = std::map<std::string, InfoValue>;

// The application's bundle: identifier, executable path and information
// dictionary. Any thread; the answers never change during a run.
class Bundle {
 public:
  virtual ~Bundle() = default;
  virtual std::optional<std::string> bundleIdentifier() = 0;
  virtual std::optional<std::string> executablePath() = 0;
  virtual std::optional<InfoDictionary> infoDictionary() = 0;
};

// Opens links in the user's desktop (the settings page). Main thread.
class Workspace {
 public:
  virtual ~Workspace() = default;
  virtual void openUrl(const std::string& url) = 0;
};

// Writes files. Any thread.
class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // Replaces `path` with `text` atomically: a reader sees the old file or the
  // whole new text. On failure the old file is intact and the error carries
  // the system's description of the failure.
  virtual Status writeFileAtomically(const std::string& path, const std::string& text) = 0;
};

}  // namespace tellwyn
