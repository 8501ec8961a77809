#include "protocol/output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "protocol/bridge_message.h"
#include "support/output_capture.h"

namespace tellwyn {
namespace {

using ::tellwyn::testing::OutputCapture;

TEST(OutputTest, EachRecordIsOneLine) {
  OutputCapture capture;
  emitBridgeJson(BridgeMessage::partial("one\ntwo"));
  emitBridgeJson(BridgeMessage::final("bad \xff"));  // not valid UTF-8: nothing
  emitBridgeJson(std::vector<DeviceInfo>{});
  EXPECT_EQ(capture.stdoutLines(),
            (std::vector<std::string>{R"({"type":"partial","text":"one\ntwo"})", "[]"}));
  EXPECT_EQ(capture.stderrText(), "");
}

TEST(OutputTest, DebugLines) {
  OutputCapture capture;
  emitDebug("");
  emitDebug("two\nlines");
  emitDebug("bad \xc3");
  emitDebug("input format sampleRate=48000.0 channels=2");
  EXPECT_EQ(capture.stderrText(),
            "debug: \ndebug: two\nlines\ndebug: input format sampleRate=48000.0 channels=2\n");
  EXPECT_EQ(capture.stdoutText(), "");
}

TEST(OutputTest, LinesFromManyThreadsNeverInterleave) {
  constexpr int kThreads = 8;
  constexpr int kLinesPerThread = 300;
  OutputCapture capture;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      // Long enough that a torn write would show.
      const std::string text(2000, static_cast<char>('a' + t));
      for (int i = 0; i < kLinesPerThread; ++i) {
        emitBridgeJson(BridgeMessage::partial(text));
        emitDebug(text);
      }
    });
  }
  for (auto& thread : threads) thread.join();

  const auto outLines = capture.stdoutLines();
  ASSERT_EQ(outLines.size(), size_t{kThreads * kLinesPerThread});
  for (const auto& line : outLines) {
    const char letter = line[std::string(R"({"type":"partial","text":")").size()];
    EXPECT_EQ(line, R"({"type":"partial","text":")" + std::string(2000, letter) + "\"}");
  }
  const auto errLines = capture.stderrLines();
  ASSERT_EQ(errLines.size(), size_t{kThreads * kLinesPerThread});
  for (const auto& line : errLines) {
    const char letter = line[7];
    EXPECT_EQ(line, "debug: " + std::string(2000, letter));
  }
}

// Death-test body: points standard output at `path`, and from `threads`
// threads writes `length`-character lines, far more than the target takes.
// With a `sizeLimit`, files grow no larger than that and writes past it
// fail. Exits with status 0 if every write seemed to succeed.
void writeUntilTheProcessEnds(const char* path, long sizeLimit, int threads, std::size_t length) {
  std::fflush(stdout);
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0 || ::dup2(fd, STDOUT_FILENO) < 0) std::_Exit(98);
  ::close(fd);
  if (sizeLimit > 0) {
    std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG
    const rlimit limit{static_cast<rlim_t>(sizeLimit), static_cast<rlim_t>(sizeLimit)};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) std::_Exit(97);
  }
  std::vector<std::thread> writers;
  for (int t = 0; t < threads; ++t) {
    writers.emplace_back([length] {
      const std::string text(length, 'x');
      for (int i = 0; i < 1000; ++i) writeStdoutLine(text);
    });
  }
  for (auto& writer : writers) writer.join();
  std::_Exit(0);
}

TEST(OutputTest, AFailedWriteIsReportedOnceAndEndsWithStatusOne) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Case {
    const char* name;
    std::string path;
    long sizeLimit;
    int threads;
    std::size_t length;
    const char* error;
  };
  const std::string limitedFile = ::testing::TempDir() + "tellwyn_output_test_limited";
  const Case cases[] = {
      {"full device, short line", "/dev/full", 0, 1, 10, "No space left on device"},
      // Longer than the stream's buffer: the write itself fails, not the flush.
      {"full device, long line", "/dev/full", 0, 1, 100000, "No space left on device"},
      // Writers that lose the race to fail must not write or report.
      {"full device, many threads", "/dev/full", 0, 8, 300, "No space left on device"},
      {"file at its size limit", limitedFile, 4096, 4, 1000, "File too large"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EXIT(writeUntilTheProcessEnds(c.path.c_str(), c.sizeLimit, c.threads, c.length),
                ::testing::ExitedWithCode(1),
                std::string("^debug: stdout write failed: ") + c.error + "\n$");
  }
  std::remove(limitedFile.c_str());
}

}  // namespace
}  // namespace tellwyn
