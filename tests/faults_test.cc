// Faults and hostile parents, end to end: the sound server or the source
// going away while streaming, closed standard streams, SIGTERM at awkward
// moments, and a recognizer that cannot be made. None of them may hang the
// process or crash it; each ends with the lines and status the protocol
// promises.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/pulse_server.h"
#include "support/recordings.h"
#include "support/tellwyn_process.h"

namespace tellwyn {
namespace {

using namespace std::chrono_literals;
using namespace ::tellwyn::testing;

std::size_t countLines(ChildProcess& child, bool (*kind)(const std::string&)) {
  const auto lines = child.stdoutLines();
  return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), kind));
}

std::unique_ptr<ChildProcess> startOnMono(PulseServer& server,
                                          const std::vector<std::string>& extra) {
  return startTellwyn(server, kMono16Source, extra);
}

class FaultsTest : public ::testing::Test {
 protected:
  void TearDown() override { sharedPulseServer().clearFeed(kMono16Source); }
};

class KilledServerTest : public ::testing::TestWithParam<PulseServerKind> {};

// The server dies while someone speaks: one retryable error line, the
// process keeps running, and SIGTERM writes the pending text as the only
// final and exits 0.
TEST_P(KilledServerTest, MidUtteranceIsOneRetryableErrorAndTheTextIsFlushed) {
  PulseServer server({.kind = GetParam()});  // its own: this test kills it
  auto child = startOnMono(server, {"--silence-ms=600000"});
  ASSERT_TRUE(waitForCaptureSetUp(*child)) << describeOutput(*child);
  // The recording twice, so speech still plays when the first partial comes
  // (however late a loaded machine makes it) and the server dies.
  server.feedFile(kMono16Source, kGoForward);
  server.feedFile(kMono16Source, kGoForward);
  ASSERT_TRUE(child->waitForStdoutLine(isPartialLine, 60s).has_value()) << describeOutput(*child);

  ::kill(server.pid(), SIGKILL);
  const auto error = child->waitForStdoutLine(isErrorLine, 30s);
  ASSERT_TRUE(error.has_value()) << describeOutput(*child);
  EXPECT_TRUE(startsWith(*error, R"({"type":"error","code":"retryable",)")) << *error;

  // Still running: SIGTERM ends it normally, flushing what was pending.
  std::this_thread::sleep_for(200ms);
  child->sendSignal(SIGTERM);
  EXPECT_EQ(child->wait(30s).code, 0) << describeOutput(*child);
  // One error for the lost server; a recognizer that fell behind on a loaded
  // machine reports that separately.
  const auto lines = child->stdoutLines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& line) {
                            return isErrorLine(line) &&
                                   line.find("Recognition fell behind") == std::string::npos;
                          }),
            1)
      << describeOutput(*child);
  std::string lastPartialText;
  for (const auto& line : lines) {
    if (isPartialLine(line)) lastPartialText = line.substr(line.find(R"("text":")") + 8);
  }
  lastPartialText.resize(lastPartialText.size() - 2);  // "}
  std::vector<std::string> finals;
  std::copy_if(lines.begin(), lines.end(), std::back_inserter(finals), isFinalLine);
  EXPECT_EQ(finals, std::vector<std::string>{finalLine(lastPartialText)}) << describeOutput(*child);
  EXPECT_TRUE(onlyJsonAndDebugLines(*child)) << describeOutput(*child);
}

INSTANTIATE_TEST_SUITE_P(BothServers, KilledServerTest, ::testing::ValuesIn(kBothServerKinds),
                         serverKindTestName);

TEST_F(FaultsTest, RemovedSourceWhileIdleEndsCaptureWithOneErrorAndTheProcessStaysUp) {
  PulseServer server;  // its own: this test unloads a source
  auto child = startOnMono(server, {"--silence-ms=800"});
  ASSERT_TRUE(waitForCaptureSetUp(*child)) << describeOutput(*child);
  ASSERT_TRUE(server.unloadSource(kMono16Source));

  // The named source is gone: capture ends with one retryable line rather
  // than moving to another source, and the process waits for its parent.
  const auto error = child->waitForStdoutLine(isErrorLine, 30s);
  ASSERT_TRUE(error.has_value()) << describeOutput(*child);
  EXPECT_TRUE(isCaptureEndedLine(*error)) << *error;
  std::this_thread::sleep_for(1s);
  child->sendSignal(SIGTERM);
  EXPECT_EQ(child->wait(30s).code, 0) << describeOutput(*child);
  const auto lines = child->stdoutLines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), isErrorLine), 1) << describeOutput(*child);
}

TEST_F(FaultsTest, ClosedStdoutEndsTheProcessBySigpipe) {
  auto child = startOnMono(sharedPulseServer(), {"--silence-ms=800"});
  ASSERT_TRUE(waitForCaptureSetUp(*child)) << describeOutput(*child);
  child->closeStdout();
  sharedPulseServer().feedFile(kMono16Source, kGoForward);
  const auto status = child->wait(60s);
  EXPECT_FALSE(status.timedOut);
  EXPECT_EQ(status.signal, SIGPIPE);
}

TEST_F(FaultsTest, ClosedStdinChangesNothing) {
  auto child = startOnMono(sharedPulseServer(), {"--silence-ms=800"});
  child->closeStdin();
  ASSERT_TRUE(waitForCaptureSetUp(*child)) << describeOutput(*child);
  sharedPulseServer().feedFile(kMono16Source, kGoForward);
  EXPECT_TRUE(child->waitForStdoutLine(isFinalLine, 60s).has_value()) << describeOutput(*child);
  child->sendSignal(SIGTERM);
  EXPECT_EQ(child->wait(30s).code, 0);
}

TEST_F(FaultsTest, SigtermDuringTheModelLoadExitsCleanly) {
  auto child = startOnMono(sharedPulseServer(), {});
  ASSERT_TRUE(waitForCaptureSetUp(*child)) << describeOutput(*child);
  // The model is still loading on its own thread at this point.
  child->sendSignal(SIGTERM);
  const auto status = child->wait(30s);
  EXPECT_EQ(status.code, 0) << describeOutput(*child);
  EXPECT_TRUE(child->stdoutLines().empty()) << describeOutput(*child);
}

TEST_F(FaultsTest, SigtermAroundTheRouteSettleEndsOneOfTheTwoDocumentedWays) {
  auto child = startOnMono(sharedPulseServer(), {});
  ASSERT_TRUE(child->waitForStderrLine(
      [](const std::string& line) { return startsWith(line, "debug: speech auth status="); }, 30s))
      << describeOutput(*child);
  child->sendSignal(SIGTERM);
  const auto status = child->wait(30s);
  EXPECT_FALSE(status.timedOut);
  // Before the session exists SIGTERM keeps its default effect; once it
  // exists the session is stopped and the status is 0.
  EXPECT_TRUE(status.code == 0 || status.signal == SIGTERM) << describeOutput(*child);
  EXPECT_TRUE(child->stdoutLines().empty()) << describeOutput(*child);
}

TEST_F(FaultsTest, SigtermRightAfterAFinalAddsNothing) {
  auto child = startOnMono(sharedPulseServer(), {"--silence-ms=500"});
  ASSERT_TRUE(waitForCaptureSetUp(*child)) << describeOutput(*child);
  sharedPulseServer().feedFile(kMono16Source, kGoForward);
  ASSERT_TRUE(child->waitForStdoutLine(isFinalLine, 60s).has_value()) << describeOutput(*child);
  child->sendSignal(SIGTERM);
  EXPECT_EQ(child->wait(30s).code, 0);
  EXPECT_EQ(countLines(*child, isFinalLine), 1u) << describeOutput(*child);
}

TEST_F(FaultsTest, TwoQuickSigtermsWriteOneFinal) {
  auto child = startOnMono(sharedPulseServer(), {"--silence-ms=600000"});
  ASSERT_TRUE(waitForCaptureSetUp(*child)) << describeOutput(*child);
  sharedPulseServer().feedFile(kMono16Source, kGoForward);
  ASSERT_TRUE(child->waitForStdoutLine(isPartialLine, 60s).has_value()) << describeOutput(*child);
  child->sendSignal(SIGTERM);
  child->sendSignal(SIGTERM);
  EXPECT_EQ(child->wait(30s).code, 0) << describeOutput(*child);
  EXPECT_EQ(countLines(*child, isFinalLine), 1u) << describeOutput(*child);
}

TEST_F(FaultsTest, NoRecognizerForTheLocaleOrNoModelsAtAll) {
  struct Case {
    std::vector<std::string> arguments;
    std::map<std::string, std::optional<std::string>> environment;
  };
  const Case cases[] = {
      {{"--language=tlh-QO"}, {}},
      {{}, {{"TELLWYN_MODEL_DIR", "/nonexistent/tellwyn-models"}}},
      {{"--language=en-US"}, {{"TELLWYN_MODEL_DIR", "/nonexistent/tellwyn-models"}}},
  };
  for (const auto& c : cases) {
    auto environment = sharedPulseServer().clientEnvironment();
    environment.insert(c.environment.begin(), c.environment.end());
    const auto result = runTellwyn(c.arguments, environment);
    EXPECT_EQ(result.status.code, 1);
    EXPECT_EQ(result.stdoutLines,
              std::vector<std::string>{
                  R"({"type":"error","code":"retryable","reason":"speech_bridge_init_failed",)"
                  R"("message":"Speech recognizer unavailable"})"});
  }
}

}  // namespace
}  // namespace tellwyn
