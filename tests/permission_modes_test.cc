// Runs the real executable in its permission modes: the status report, with
// and without a report file, and setup mode, which on Linux has nothing to
// ask and ends at once.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "protocol/bridge_message.h"
#include "protocol/json_encoding.h"
#include "support/child_process.h"
#include "support/pulse_server.h"
#include "support/tellwyn_process.h"
#include "support/temp_files.h"

namespace tellwyn {
namespace {

namespace fs = std::filesystem;
using ::tellwyn::testing::readFile;
using ::tellwyn::testing::runProcess;
using ::tellwyn::testing::runTellwyn;
using ::tellwyn::testing::TempDir;

// The report a Linux process gives: both permissions authorized, the
// embedded identifier and the executable's absolute path.
std::string expectedReport() {
  AuthStatusInfo report{
      "authorized", "authorized",          true,
      true,         "org.tellwyn.Tellwyn", fs::canonical(TELLWYN_BINARY).string()};
  return encodeJson(report).value();
}

TEST(PermissionModesTest, AuthStatusPrintsTheReportLine) {
  const auto result = runTellwyn({"--auth-status"});
  EXPECT_EQ(result.status.code, 0);
  EXPECT_EQ(result.stdoutLines, std::vector<std::string>{expectedReport()});
  EXPECT_TRUE(result.stderrLines.empty());
}

TEST(PermissionModesTest, AuthStatusFileHoldsTheLineWithoutItsFeed) {
  TempDir dir;
  const auto target = dir.path() / "status.json";
  std::ofstream(target) << "previous report, longer than the new one............................"
                           "......................................................................"
                           "......................................................................";
  const auto result = runTellwyn({"--auth-status", "--auth-status-file=" + target.string()});
  EXPECT_EQ(result.status.code, 0);
  EXPECT_EQ(result.stdoutLines, std::vector<std::string>{expectedReport()});
  EXPECT_TRUE(result.stderrLines.empty());
  EXPECT_EQ(readFile(target), expectedReport());
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(PermissionModesTest, FailedFileWriteIsOneDebugLineAndStatusZero) {
  TempDir dir;
  // A directory that does not exist; then a target that is a directory and
  // cannot be replaced, whose content stays as it was.
  const auto occupied = dir.path() / "occupied";
  fs::create_directory(occupied);
  std::ofstream(occupied / "inside") << "old";
  const struct {
    fs::path target;
    std::string description;
  } cases[] = {
      {dir.path() / "missing" / "status.json", "No such file or directory"},
      {occupied, ""},
  };
  for (const auto& c : cases) {
    const auto result = runTellwyn({"--auth-status", "--auth-status-file=" + c.target.string()});
    EXPECT_EQ(result.status.code, 0) << c.target;
    EXPECT_EQ(result.stdoutLines, std::vector<std::string>{expectedReport()}) << c.target;
    ASSERT_EQ(result.stderrLines.size(), 1u) << c.target;
    EXPECT_TRUE(result.stderrLines[0].starts_with("debug: auth status file write failed: "))
        << result.stderrLines[0];
    if (!c.description.empty()) {
      EXPECT_EQ(result.stderrLines[0], "debug: auth status file write failed: " + c.description);
    }
  }
  EXPECT_FALSE(fs::exists(dir.path() / "missing"));
  EXPECT_EQ(readFile(occupied / "inside"), "old");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(PermissionModesTest, EmptyFilePathWritesNoFile) {
  TempDir dir;
  const auto before = fs::current_path();
  const auto result =
      runProcess({"/bin/sh", "-c",
                  "cd '" + dir.path().string() + "' && exec '" + std::string(TELLWYN_BINARY) +
                      "' --auth-status --auth-status-file="},
                 ::tellwyn::testing::noPulseServerEnvironment());
  EXPECT_EQ(result.status.code, 0);
  EXPECT_EQ(result.stdoutLines, std::vector<std::string>{expectedReport()});
  EXPECT_TRUE(result.stderrLines.empty());
  EXPECT_TRUE(fs::is_empty(dir.path()));
  EXPECT_EQ(fs::current_path(), before);
}

TEST(PermissionModesTest, SetupModeEndsAtOnceWithBothPermissionsGranted) {
  const auto result = runTellwyn({"--setup"});
  EXPECT_EQ(result.status.code, 0);
  EXPECT_TRUE(result.stdoutLines.empty());
  const std::vector<std::string> expected = {
      "debug: SpeechBridge starting",
      "debug: bundleId=org.tellwyn.Tellwyn",
      "debug: info.mic=Enable microphone access for live interview transcription.",
      "debug: info.speech=Enable speech recognition for live interview transcription.",
      "debug: mic auth status=3",
      "debug: speech auth status=3",
  };
  EXPECT_EQ(result.stderrLines, expected);
}

}  // namespace
}  // namespace tellwyn
