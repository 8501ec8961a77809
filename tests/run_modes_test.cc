// Runs the real executable with combinations of mode flags and checks that
// only the winning mode's output appears, with its exit status.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/pulse_server.h"
#include "support/tellwyn_process.h"
#include "support/temp_files.h"

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

// What the dynamic loader wrote (LD_DEBUG=files: each shared object it
// loaded, and why) while tellwyn ran with `arguments`.
std::string loaderLog(const std::vector<std::string>& arguments) {
  testing::TempDir dir;
  auto environment = testing::noPulseServerEnvironment();
  environment["LD_DEBUG"] = "files";
  environment["LD_DEBUG_OUTPUT"] = (dir.path() / "loader").string();
  const auto result = runTellwyn(arguments, environment);
  EXPECT_FALSE(result.status.timedOut);
  std::string log;
  for (const auto& name : dir.entries()) log += testing::readFile(dir.path() / name);
  return log;
}

TEST(RunModesTest, OnlyASpeechSessionLoadsTheRecognizerLibraries) {
  struct Case {
    std::vector<std::string> arguments;
    bool loads;
  };
  const Case cases[] = {
      {{"--list-devices"}, false},
      {{"--auth-status"}, false},
      {{"--setup"}, false},
      // No model for the language: no recognizer to load it for.
      {{"--language=xx-XX"}, false},
      // A speech session, which ends later for want of a sound server.
      {{"--silence-ms=300"}, true},
  };
  for (const auto& c : cases) {
    const std::string name = ::testing::PrintToString(c.arguments);
    const std::string log = loaderLog(c.arguments);
    ASSERT_NE(log.find("file=libc.so.6"), std::string::npos) << name << ": no loader log";
    for (const char* library : {"libpocketsphinx.so", "libsphinxbase.so", "libgfortran.so"}) {
      EXPECT_EQ(log.find(library) != std::string::npos, c.loads) << name << ": " << library;
    }
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
