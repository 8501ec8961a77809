// Runs the real executable with combinations of mode flags and checks that
// only the winning mode's output appears, with its exit status.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/tellwyn_process.h"

namespace tellwyn {
namespace {

using ::tellwyn::testing::RunResult;
using ::tellwyn::testing::runTellwyn;

void expectOnlyDebugLinesOnStderr(const RunResult& result) {
  for (const auto& line : result.stderrLines) {
    EXPECT_EQ(line.rfind("debug: ", 0), 0u) << line;
  }
}

TEST(RunModesTest, PrecedenceOfTheModes) {
  struct Case {
    std::vector<std::string> arguments;
    std::string firstOutputPrefix;  // empty: no output at all
    int exitCode;
  };
  const Case cases[] = {
      {{"--list-devices", "--auth-status"}, R"({"microphone":)", 0},
      {{"--auth-status", "--setup"}, R"({"microphone":)", 0},
      {{"--setup", "--list-devices"}, "[]", 0},
      {{"--list-devices", "--language=xx-XX", "--device-id=nothing"}, "[]", 0},
      {{"--setup"}, "", 0},
      {{"--setup", "--skip-speech-auth-check"}, "", 0},
      {{"--language=xx-XX"},
       R"({"type":"error","code":"retryable","reason":"speech_bridge_init_failed",)"
       R"("message":"Speech recognizer unavailable"})",
       1},
  };
  for (const auto& c : cases) {
    const auto result = runTellwyn(c.arguments);
    const std::string name = ::testing::PrintToString(c.arguments);
    EXPECT_FALSE(result.status.timedOut) << name;
    EXPECT_EQ(result.status.code, c.exitCode) << name;
    if (c.firstOutputPrefix.empty()) {
      EXPECT_TRUE(result.stdoutLines.empty()) << name;
    } else {
      ASSERT_EQ(result.stdoutLines.size(), 1u) << name;
      EXPECT_EQ(result.stdoutLines[0].rfind(c.firstOutputPrefix, 0), 0u)
          << name << ": " << result.stdoutLines[0];
    }
    expectOnlyDebugLinesOnStderr(result);
  }
}

TEST(RunModesTest, StreamingWithoutASoundServerFailsToStart) {
  const auto result = runTellwyn({"--silence-ms=300"});
  EXPECT_EQ(result.status.code, 1);
  ASSERT_EQ(result.stdoutLines.size(), 1u);
  EXPECT_EQ(result.stdoutLines[0].rfind(
                R"({"type":"error","code":"retryable","reason":"speech_bridge_start_failed",)", 0),
            0u)
      << result.stdoutLines[0];
  expectOnlyDebugLinesOnStderr(result);
}

TEST(RunModesTest, StrangeArgumentsNeverChangeWhatAModePrints) {
  const std::vector<std::vector<std::string>> cases = {
      {"", "--", "-", "--list-devices"},
      {"--list-devices", std::string(100000, 'x')},
      {"--list-devices", "--silence-ms=\xff\xfe", "--language=\x01\x02", "--device-id="},
      {"--list-devices", "--auth-status-file=", "--silence-ms=-1e999"},
  };
  for (const auto& arguments : cases) {
    const auto result = runTellwyn(arguments);
    EXPECT_EQ(result.status.code, 0);
    EXPECT_EQ(result.stdoutLines, std::vector<std::string>{"[]"});
    expectOnlyDebugLinesOnStderr(result);
  }
}

}  // namespace
}  // namespace tellwyn
