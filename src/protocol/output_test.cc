#include "protocol/output.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace tellwyn
