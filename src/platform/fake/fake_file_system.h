#pragma once

#include <map>
#include <optional>
#include <string>

#include "platform/bundle.h"

namespace tellwyn {

// Files kept in memory. A scripted `failure` makes every write fail with that
// error and leaves the stored files as they were. The test's thread only.
class FakeFileSystem : public FileSystem {
 public:
  Status writeFileAtomically(const std::string& path, const std::string& text) override {
    ++writes;
    if (failure) return *failure;
    files[path] = text;
    return {};
  }

  std::map<std::string, std::string> files;
  std::optional<Error> failure;
  int writes = 0;
};

}  // namespace tellwyn
