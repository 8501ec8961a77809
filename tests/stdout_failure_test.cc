// Standard output that cannot take our lines: the real executable must not
// end as if all went well. Each case runs the permission report, the
// shortest run that writes a line, with standard output on a descriptor that
// fails in its own way.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace tellwyn {
namespace {

namespace fs = std::filesystem;
using ::tellwyn::testing::runProcess;
using ::tellwyn::testing::RunResult;

const std::map<std::string, std::optional<std::string>> kNoSoundServer = {
    {"PULSE_SERVER", "unix:/nonexistent/tellwyn-test/native"},
};

// Runs `tellwyn --auth-status` with standard output on `fd`, which the child
// inherits through bash; with `ignorePipeSignal` the child starts with
// SIGPIPE ignored, as some parents leave it.
RunResult runWithStdoutOn(int fd, bool ignorePipeSignal = false) {
  const std::string n = std::to_string(fd);
  const std::string script = std::string(ignorePipeSignal ? "trap '' PIPE; " : "") +
                             "exec \"$0\" --auth-status >&" + n + " " + n + ">&-";
  return runProcess({"bash", "-c", script, TELLWYN_BINARY}, kNoSoundServer);
}

// A directory for this test's files, removed with everything in it.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "tellwyn-stdout-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~ScratchDir() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// A 16 KiB tmpfs mounted for the test and filled to the last byte, so any
// new write fails with ENOSPC. Mounting needs the right to mount; without
// it `mounted()` is false.
class FullFileSystem {
 public:
  FullFileSystem() : mountPoint_(scratch_.path() / "full") {
    fs::create_directory(mountPoint_);
    if (::mount("tmpfs", mountPoint_.c_str(), "tmpfs", 0, "size=16k") != 0) {
      error_ = std::strerror(errno);
      return;
    }
    mounted_ = true;
    std::ofstream filler(mountPoint_ / "filler", std::ios::binary);
    const std::string block(4096, 'f');
    while (filler.write(block.data(), static_cast<std::streamsize>(block.size())) &&
           filler.flush()) {
    }
  }
  ~FullFileSystem() {
    if (mounted_) ::umount2(mountPoint_.c_str(), MNT_DETACH);
  }
  FullFileSystem(const FullFileSystem&) = delete;
  FullFileSystem& operator=(const FullFileSystem&) = delete;

  bool mounted() const { return mounted_; }
  const std::string& error() const { return error_; }
  fs::path file(const std::string& name) const { return mountPoint_ / name; }

 private:
  ScratchDir scratch_;
  fs::path mountPoint_;
  bool mounted_ = false;
  std::string error_;
};

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// An open descriptor the child may inherit (no close-on-exec).
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

const std::vector<std::string> kNoSpaceLine = {
    "debug: stdout write failed: No space left on device"};

TEST(StdoutFailureTest, AFullDeviceEndsWithOneDebugLineAndStatusOne) {
  Descriptor full(::open("/dev/full", O_WRONLY));
  ASSERT_GE(full.get(), 0);
  const auto result = runWithStdoutOn(full.get());
  EXPECT_EQ(result.status.code, 1);
  EXPECT_EQ(result.stderrLines, kNoSpaceLine);
}

TEST(StdoutFailureTest, AFullFileSystemEndsWithOneDebugLineAndStatusOne) {
  FullFileSystem fileSystem;
  if (!fileSystem.mounted()) GTEST_SKIP() << "cannot mount a tmpfs: " << fileSystem.error();
  const auto path = fileSystem.file("out.jsonl");
  Descriptor out(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
  ASSERT_GE(out.get(), 0);
  const auto result = runWithStdoutOn(out.get());
  EXPECT_EQ(result.status.code, 1);
  EXPECT_EQ(result.stderrLines, kNoSpaceLine);
  EXPECT_EQ(readFile(path), "");
}

TEST(StdoutFailureTest, AFileWithRoomGetsTheLineAndStatusZero) {
  ScratchDir dir;
  const auto path = dir.path() / "out.jsonl";
  Descriptor out(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
  ASSERT_GE(out.get(), 0);
  const auto result = runWithStdoutOn(out.get());
  EXPECT_EQ(result.status.code, 0);
  EXPECT_TRUE(result.stderrLines.empty());
  const auto text = readFile(path);
  EXPECT_TRUE(text.starts_with(R"({"microphone":)")) << text;
  EXPECT_TRUE(text.ends_with("}\n")) << text;
}

TEST(StdoutFailureTest, AClosedPipeEndsTheProcessBySigpipeEvenWhenTheParentIgnoredIt) {
  for (const bool ignorePipeSignal : {false, true}) {
    SCOPED_TRACE(ignorePipeSignal ? "SIGPIPE ignored" : "SIGPIPE default");
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    ::close(ends[0]);  // nobody reads
    Descriptor writeEnd(ends[1]);
    const auto result = runWithStdoutOn(writeEnd.get(), ignorePipeSignal);
    EXPECT_EQ(result.status.signal, SIGPIPE);
    EXPECT_TRUE(result.stderrLines.empty());
  }
}

}  // namespace
}  // namespace tellwyn
