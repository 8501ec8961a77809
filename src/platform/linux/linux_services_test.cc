#include "platform/linux/linux_services.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "support/output_capture.h"
#include "support/temp_files.h"

namespace tellwyn {
namespace {

namespace fs = std::filesystem;
using ::tellwyn::testing::readFile;
using ::tellwyn::testing::TempDir;

TEST(LinuxFileSystemTest, CreatesAndReplacesTheFileLeavingNoTemporary) {
  TempDir dir;
  LinuxFileSystem files;
  const auto target = dir.path() / "report.json";
  ASSERT_TRUE(files.writeFileAtomically(target, "{\"a\":1}").ok());
  EXPECT_EQ(readFile(target), "{\"a\":1}");
  const std::string big(1 << 20, 'x');
  ASSERT_TRUE(files.writeFileAtomically(target, big).ok());
  EXPECT_EQ(readFile(target), big);
  ASSERT_TRUE(files.writeFileAtomically(target, "").ok());
  EXPECT_EQ(readFile(target), "");
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"report.json"});
  struct stat info {};
  ASSERT_EQ(::stat(target.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
}

TEST(LinuxFileSystemTest, RelativePathLandsInTheWorkingDirectory) {
  TempDir dir;
  const auto previous = fs::current_path();
  fs::current_path(dir.path());
  LinuxFileSystem files;
  const auto status = files.writeFileAtomically("plain.json", "text");
  fs::current_path(previous);
  ASSERT_TRUE(status.ok()) << status.error().description;
  EXPECT_EQ(readFile(dir.path() / "plain.json"), "text");
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"plain.json"});
}

TEST(LinuxFileSystemTest, FailuresCarryTheSystemTextAndKeepTheOldFile) {
  TempDir dir;
  LinuxFileSystem files;

  const auto missing = files.writeFileAtomically(dir.path() / "nope" / "report.json", "x");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().description, "No such file or directory");
  EXPECT_TRUE(dir.entries().empty());

  // The target is a directory that cannot be replaced by a file: the rename
  // fails after the text was written, and the temporary file goes away.
  fs::create_directory(dir.path() / "occupied");
  std::ofstream(dir.path() / "occupied" / "inside") << "keep";
  const auto occupied = files.writeFileAtomically(dir.path() / "occupied", "new");
  ASSERT_FALSE(occupied.ok());
  EXPECT_FALSE(occupied.error().description.empty());
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"occupied"});
  EXPECT_EQ(readFile(dir.path() / "occupied" / "inside"), "keep");

  const auto trailingSlash = files.writeFileAtomically(dir.path().string() + "/", "x");
  EXPECT_FALSE(trailingSlash.ok());

  if (::geteuid() != 0) {
    // A directory without write permission: the old file stays intact.
    const auto locked = dir.path() / "locked";
    fs::create_directory(locked);
    std::ofstream(locked / "report.json") << "old";
    fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
    const auto denied = files.writeFileAtomically(locked / "report.json", "new");
    fs::permissions(locked, fs::perms::owner_all);
    ASSERT_FALSE(denied.ok());
    EXPECT_EQ(denied.error().description, "Permission denied");
    EXPECT_EQ(readFile(locked / "report.json"), "old");
  }
}

TEST(LinuxBundleTest, IdentifierAndDictionaryFromThePropertyList) {
  const std::string plist =
      "<plist><dict><key>CFBundleIdentifier</key><string>org.example.X</string>"
      "<key>Flag</key><true/></dict></plist>";
  const auto bundle = makeLinuxBundle(plist);
  EXPECT_EQ(bundle->bundleIdentifier(), "org.example.X");
  ASSERT_TRUE(bundle->infoDictionary());
  EXPECT_EQ(bundle->infoDictionary()->at("Flag"), InfoValue{true});

  const auto path = bundle->executablePath();
  ASSERT_TRUE(path);
  EXPECT_TRUE(fs::path(*path).is_absolute());
  EXPECT_TRUE(fs::equivalent(*path, "/proc/self/exe"));

  EXPECT_EQ(makeLinuxBundle("<plist><dict/></plist>")->bundleIdentifier(), std::nullopt);
  EXPECT_EQ(makeLinuxBundle(
                "<plist><dict><key>CFBundleIdentifier</key><integer>1</integer></dict></plist>")
                ->bundleIdentifier(),
            std::nullopt);
  const auto broken = makeLinuxBundle("not a property list");
  EXPECT_EQ(broken->bundleIdentifier(), std::nullopt);
  EXPECT_EQ(broken->infoDictionary(), std::nullopt);
}

TEST(LinuxMicrophoneAuthorizationTest, AuthorizedAndGrantsOnAnotherThread) {
  auto microphone = makeLinuxMicrophoneAuthorization();
  EXPECT_EQ(microphone->authorizationStatus(), kMicrophoneAuthorized);
  std::mutex mutex;
  std::condition_variable answered;
  std::optional<bool> answer;
  std::thread::id answerThread;
  microphone->requestAccess([&](bool granted) {
    std::lock_guard lock(mutex);
    answer = granted;
    answerThread = std::this_thread::get_id();
    answered.notify_all();
  });
  std::unique_lock lock(mutex);
  answered.wait(lock, [&] { return answer.has_value(); });
  EXPECT_EQ(answer, true);
  EXPECT_NE(answerThread, std::this_thread::get_id());
}

// The permission flows open the system's privacy settings; Linux has no such
// page, so nothing may start (no browser, no opener) and nothing may reach
// standard output, which carries only JSON lines, or standard error.
TEST(LinuxWorkspaceTest, OpeningALinkStartsNothingAndPrintsNothing) {
  testing::OutputCapture capture;
  makeLinuxWorkspace()->openUrl(
      "x-apple.systempreferences:com.apple.preference.security?Privacy_SpeechRecognition");
  makeLinuxWorkspace()->openUrl("https://example.org/");
  errno = 0;
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
  EXPECT_EQ(capture.stdoutText(), "");
  EXPECT_EQ(capture.stderrText(), "");
}

}  // namespace
}  // namespace tellwyn
