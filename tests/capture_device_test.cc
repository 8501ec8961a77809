// Capture from the device the parent named, end to end: whatever another
// client does to the default source, and however many tellwyn processes run
// with different devices, each hears the speech of its own device; the named
// device going away is an error, not a silent move to another microphone.
// Two 16 kHz mono pipe sources play different recordings at the same time,
// so the words of each final tell which source was heard.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
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

// "go forward ten meters" and "thirty three forty six ninety two" (as the
// en-us model hears them); no word of one is in the other.
const std::vector<std::string> kGoForwardWords = {"forward", "meters"};
const std::vector<std::string> kNumbersWords = {"thirty", "ninety"};

const char kFirst[] = "tellwyn_first";
const char kSecond[] = "tellwyn_second";

PulseServerOptions twoMonoSources() {
  PulseServerOptions options;
  options.sources = {{kFirst, "Tellwyn First Mic"}, {kSecond, "Tellwyn Second Mic"}};
  return options;
}

// Everything the process wrote on standard output, as one text.
std::string stdoutText(ChildProcess& child) {
  std::string text;
  for (const auto& line : child.stdoutLines()) text += line + "\n";
  return text;
}

// Waits for a final, then lets the rest of the speech arrive.
void waitForWords(ChildProcess& child) {
  ASSERT_TRUE(child.waitForStdoutLine(isFinalLine, 90s).has_value()) << describeOutput(child);
  std::this_thread::sleep_for(2s);
}

void expectHeard(ChildProcess& child, const std::vector<std::string>& heard,
                 const std::vector<std::string>& notHeard) {
  const std::string text = stdoutText(child);
  const bool anyHeard = std::any_of(heard.begin(), heard.end(), [&](const auto& word) {
    return text.find(word) != std::string::npos;
  });
  EXPECT_TRUE(anyHeard) << describeOutput(child);
  for (const auto& word : notHeard) {
    EXPECT_EQ(text.find(word), std::string::npos) << word << "\n" << describeOutput(child);
  }
}

void stopAndExpectCleanExit(ChildProcess& child) {
  child.sendSignal(SIGTERM);
  EXPECT_EQ(child.wait(30s).code, 0) << describeOutput(child);
  EXPECT_TRUE(onlyJsonAndDebugLines(child)) << describeOutput(child);
}

TEST(CaptureDeviceTest, AnotherClientChangingTheDefaultDoesNotMoveTheCapture) {
  PulseServer server(twoMonoSources());
  auto child = startTellwyn(server, kSecond, {"--silence-ms=800"});
  ASSERT_TRUE(waitForCaptureSetUp(*child)) << describeOutput(*child);
  ASSERT_TRUE(child->waitForStderrLine(
      [](const std::string& line) {
        return line == std::string("debug: active input uid=") + kSecond;
      },
      1s))
      << describeOutput(*child);

  // Someone else makes the other microphone the default while tellwyn runs;
  // then both microphones carry speech.
  ASSERT_EQ(server.pactl({"set-default-source", kFirst}).status.code, 0);
  std::this_thread::sleep_for(500ms);
  server.feedFile(kFirst, kNumbers);
  server.feedFile(kSecond, kGoForward);
  waitForWords(*child);
  expectHeard(*child, kGoForwardWords, kNumbersWords);
  stopAndExpectCleanExit(*child);
}

TEST(CaptureDeviceTest, TwoProcessesWithDifferentDevicesEachHearTheirOwn) {
  PulseServer server(twoMonoSources());
  auto first = startTellwyn(server, kFirst, {"--silence-ms=800"});
  ASSERT_TRUE(waitForCaptureSetUp(*first)) << describeOutput(*first);
  // The second process makes its device the default after the first started.
  auto second = startTellwyn(server, kSecond, {"--silence-ms=800"});
  ASSERT_TRUE(waitForCaptureSetUp(*second)) << describeOutput(*second);

  server.feedFile(kFirst, kGoForward);
  server.feedFile(kSecond, kNumbers);
  waitForWords(*first);
  waitForWords(*second);
  expectHeard(*first, kGoForwardWords, kNumbersWords);
  expectHeard(*second, kNumbersWords, kGoForwardWords);
  stopAndExpectCleanExit(*first);
  stopAndExpectCleanExit(*second);
}

TEST(CaptureDeviceTest, TheNamedSourceUnloadedMidUtteranceEndsCaptureWithOneError) {
  PulseServer server(twoMonoSources());
  auto child = startTellwyn(server, kSecond, {"--silence-ms=800"});
  ASSERT_TRUE(waitForCaptureSetUp(*child)) << describeOutput(*child);
  server.feedFile(kFirst, kNumbers);
  server.feedFile(kSecond, kGoForward);
  ASSERT_TRUE(child->waitForStdoutLine(isPartialLine, 60s).has_value()) << describeOutput(*child);

  ASSERT_TRUE(server.unloadSource(kSecond));

  const auto error = child->waitForStdoutLine(isErrorLine, 30s);
  ASSERT_TRUE(error.has_value()) << describeOutput(*child);
  EXPECT_TRUE(isCaptureEndedLine(*error)) << *error;
  // Capture does not move on to the other microphone, whose speech goes on.
  std::this_thread::sleep_for(4s);
  const auto lines = child->stdoutLines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), isErrorLine), 1) << describeOutput(*child);
  for (const auto& word : kNumbersWords) {
    EXPECT_EQ(stdoutText(*child).find(word), std::string::npos) << describeOutput(*child);
  }
  stopAndExpectCleanExit(*child);
}

}  // namespace
}  // namespace tellwyn
