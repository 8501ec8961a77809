// Runs the real executable in its permission modes: the status report, with
// and without a report file, and setup mode, which on Linux has nothing to
// ask and ends at once. The report, the shortest run that writes a line, also
// shows what happens when standard output cannot take it.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
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
using ::tellwyn::testing::noPulseServerEnvironment;
using ::tellwyn::testing::readFile;
using ::tellwyn::testing::runProcess;
using ::tellwyn::testing::RunResult;
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

// --- Standard output that cannot take the report ---

// Runs `script` in bash with the executable as "$0" and `path` as "$1".
RunResult runInBash(const std::string& script, const fs::path& path) {
  return runProcess({"bash", "-c", script, TELLWYN_BINARY, path.string()},
                    noPulseServerEnvironment());
}

const std::vector<std::string> kNoSpaceLine = {
    "debug: stdout write failed: No space left on device"};

TEST(PermissionModesTest, StdoutThatFailsEndsTheProcessAndSaysWhy) {
  // A FIFO whose only reader is gone by the time the report is written: the
  // shell opens it both ways, opens the write end, then closes the reader.
  const std::string closedPipe = R"(mkfifo "$1"; exec 3<>"$1" 4>"$1" 3<&-; )"
                                 R"(exec "$0" --auth-status >&4 4>&-)";
  const struct {
    std::string name;
    std::string script;
    std::optional<int> code;
    std::optional<int> signal;
    std::vector<std::string> stderrLines;
  } cases[] = {
      {"full device", R"(exec "$0" --auth-status >/dev/full)", 1, std::nullopt, kNoSpaceLine},
      {"closed pipe", closedPipe, std::nullopt, SIGPIPE, {}},
      // Some parents leave SIGPIPE ignored; a closed pipe still ends the run.
      {"closed pipe, SIGPIPE ignored", "trap '' PIPE; " + closedPipe, std::nullopt, SIGPIPE, {}},
      {"file with room", R"(exec "$0" --auth-status >"$1")", 0, std::nullopt, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const auto path = dir.path() / "out";
    const auto result = runInBash(c.script, path);
    EXPECT_EQ(result.status.code, c.code);
    EXPECT_EQ(result.status.signal, c.signal);
    EXPECT_EQ(result.stderrLines, c.stderrLines);
    if (c.code == 0) {
      EXPECT_EQ(readFile(path), expectedReport() + "\n");
    }
  }
}

// A 16 KiB tmpfs mounted for the test and filled to the last byte, so any
// new write fails with ENOSPC. Mounting needs the right to mount; without it
// `mounted()` is false.
class FullFileSystem {
 public:
  FullFileSystem() {
    if (::mount("tmpfs", dir_.path().c_str(), "tmpfs", 0, "size=16k") != 0) {
      error_ = std::strerror(errno);
      return;
    }
    mounted_ = true;
    std::ofstream filler(dir_.path() / "filler", std::ios::binary);
    const std::string block(4096, 'f');
    while (filler.write(block.data(), static_cast<std::streamsize>(block.size())) &&
           filler.flush()) {
    }
  }
  ~FullFileSystem() {
    if (mounted_) ::umount2(dir_.path().c_str(), MNT_DETACH);
  }
  FullFileSystem(const FullFileSystem&) = delete;
  FullFileSystem& operator=(const FullFileSystem&) = delete;

  bool mounted() const { return mounted_; }
  const std::string& error() const { return error_; }
  const fs::path& path() const { return dir_.path(); }

 private:
  TempDir dir_;
  bool mounted_ = false;
  std::string error_;
};

TEST(PermissionModesTest, StdoutOnAFullFileSystemEndsWithStatusOne) {
  FullFileSystem full;
  if (!full.mounted()) GTEST_SKIP() << "cannot mount a tmpfs: " << full.error();
  const auto path = full.path() / "out";
  const auto result = runInBash(R"(exec "$0" --auth-status >"$1")", path);
  EXPECT_EQ(result.status.code, 1);
  EXPECT_EQ(result.stderrLines, kNoSpaceLine);
  EXPECT_EQ(readFile(path), "");
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
