#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace tellwyn::testing {

// The whole content of a file; empty when it cannot be read.
std::string readFile(const std::filesystem::path& path);
// A file of raw 16-bit little-endian samples (the pocketsphinx test
// recordings); empty when it cannot be read.
std::vector<std::int16_t> readS16Samples(const std::filesystem::path& path);

// A fresh temporary directory, removed with everything in it when this
// goes. Owned by one test thread.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The names of the directory's entries, sorted.
  std::vector<std::string> entries() const;

 private:
  std::filesystem::path path_;
};

}  // namespace tellwyn::testing
