// Checks with the binutils that the executable carries the information
// dictionary in a section of its own, byte for byte as src/app/Info.plist.
#include <gtest/gtest.h>

#include <filesystem>
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
  const testing::TempDir dir;
  const auto dumped = dir.path() / "Info.plist";
  const auto result =
      runProcess({"objcopy", "--dump-section", "tellwyn_info_plist=" + dumped.string(),
                  TELLWYN_BINARY, (dir.path() / "discarded").string()});
  EXPECT_EQ(result.status.code, 0);
  const std::string source = readFile(std::string(TELLWYN_SOURCE_DIR) + "/src/app/Info.plist");
  ASSERT_FALSE(source.empty());
  EXPECT_EQ(readFile(dumped), source);
}

}  // namespace
}  // namespace tellwyn
