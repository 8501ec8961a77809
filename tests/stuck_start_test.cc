// A sound server that accepts the connection and then never answers (its
// daemon stopped with SIGSTOP), end to end: the start gives up after its
// deadline with the start-failed error, and a SIGTERM during that wait ends
// the process at once, with status 0 and nothing on standard output.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/child_process.h"
#include "support/pulse_server.h"
#include "support/tellwyn_process.h"

namespace tellwyn {
namespace {

using namespace std::chrono_literals;
using namespace ::tellwyn::testing;

// A private server whose daemon is stopped while the test runs.
class StuckStartTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(::kill(server_.pid(), SIGSTOP), 0); }
  void TearDown() override { ::kill(server_.pid(), SIGCONT); }

  // Starts tellwyn on the server's default source and waits until it is
  // about to start the session (the last line before it).
  std::unique_ptr<ChildProcess> startUntilTheSession() {
    auto child = startTellwynOnDefault(server_);
    EXPECT_TRUE(child
                    ->waitForStderrLine(
                        [](const std::string& line) {
                          return startsWith(line, "debug: speech auth status=");
                        },
                        30s)
                    .has_value())
        << describeOutput(*child);
    return child;
  }

  PulseServer server_;
};

TEST_F(StuckStartTest, SigtermDuringAStuckStartEndsTheProcessAtOnce) {
  auto child = startUntilTheSession();
  std::this_thread::sleep_for(1s);
  const auto sent = std::chrono::steady_clock::now();
  child->sendSignal(SIGTERM);
  const ExitStatus status = child->wait(30s);
  const auto took = std::chrono::steady_clock::now() - sent;
  std::cout << "SIGTERM to exit: "
            << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms\n";

  // Status 0: the start's own deadline, about 2 s later, would have ended it
  // with status 1 and an error line. (Under the thread checker the exit
  // itself takes 1 s more.)
  EXPECT_EQ(status.code, 0) << describeOutput(*child);
  EXPECT_LT(took, 1900ms);
  // A session existed and had nothing pending: its stop writes nothing.
  EXPECT_TRUE(child->stdoutLines().empty()) << describeOutput(*child);
  EXPECT_TRUE(onlyJsonAndDebugLines(*child)) << describeOutput(*child);
  EXPECT_FALSE(child->waitForStderrLine(
      [](const std::string& line) { return startsWith(line, "debug: input format"); }, 0ms))
      << describeOutput(*child);
}

TEST_F(StuckStartTest, AStuckStartFailsAfterItsDeadline) {
  auto child = startUntilTheSession();
  const auto began = std::chrono::steady_clock::now();
  const ExitStatus status = child->wait(30s);
  const auto took = std::chrono::steady_clock::now() - began;

  EXPECT_EQ(status.code, 1) << describeOutput(*child);
  EXPECT_EQ(child->stdoutLines(),
            std::vector<std::string>{
                R"({"type":"error","code":"retryable","reason":"speech_bridge_start_failed",)"
                R"("message":"Audio capture could not start: Timeout"})"})
      << describeOutput(*child);
  EXPECT_TRUE(onlyJsonAndDebugLines(*child)) << describeOutput(*child);
  // One step's deadline (3 s), not libpulse's own 30 s.
  EXPECT_GE(took, 2s);
  EXPECT_LT(took, 15s);
}

}  // namespace
}  // namespace tellwyn
