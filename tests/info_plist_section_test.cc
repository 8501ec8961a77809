// Checks with the binutils that the executable carries the information
// dictionary in a section of its own, byte for byte as src/app/Info.plist.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "support/child_process.h"
#include "support/temp_files.h"

namespace tellwyn {
namespace {

namespace fs = std::filesystem;
using ::tellwyn::testing::readFile;
using ::tellwyn::testing::runProcess;

TEST(InfoPlistSectionTest, ReadelfListsTheSection) {
  const auto result = runProcess({"readelf", "-S", "-W", TELLWYN_BINARY});
  ASSERT_EQ(result.status.code, 0);
  bool found = false;
  for (const auto& line : result.stdoutLines) {
    if (line.find(" tellwyn_info_plist ") != std::string::npos) found = true;
  }
  EXPECT_TRUE(found);
}

TEST(InfoPlistSectionTest, DumpedSectionEqualsTheSourcePropertyList) {
  std::string pattern = (fs::temp_directory_path() / "tellwyn-section-XXXXXX").string();
  const fs::path dir = ::mkdtemp(pattern.data());
  const auto dumped = dir / "Info.plist";
  const auto result =
      runProcess({"objcopy", "--dump-section", "tellwyn_info_plist=" + dumped.string(),
                  TELLWYN_BINARY, (dir / "discarded").string()});
  EXPECT_EQ(result.status.code, 0);
  const std::string source = readFile(std::string(TELLWYN_SOURCE_DIR) + "/src/app/Info.plist");
  ASSERT_FALSE(source.empty());
  EXPECT_EQ(readFile(dumped), source);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace tellwyn
