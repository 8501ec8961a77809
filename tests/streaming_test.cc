// The whole product end to end: build/tellwyn against a private sound server
// whose pipe sources play recorded speech at real-time pace, recognized by
// pocketsphinx with the installed en-us model.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/pulse_server.h"
#include "support/recordings.h"
#include "support/tellwyn_process.h"
#include "support/temp_files.h"

namespace tellwyn {
namespace {

using namespace std::chrono_literals;
using namespace ::tellwyn::testing;

const char kGoForwardWords[] = "go forward ten meters";

// Tests on the PulseAudio server; StreamingOnBothServersTest runs on each.
class StreamingTest : public ::testing::Test {
 protected:
  void TearDown() override {
    server().clearFeed(kMono16Source);
    server().clearFeed(kStereo48Source);
  }

  virtual PulseServerKind kind() const { return PulseServerKind::kPulseAudio; }
  PulseServer& server() const { return sharedPulseServer(kind()); }

  // Starts tellwyn on `source` and waits until it sets up capture.
  std::unique_ptr<ChildProcess> startOn(const std::string& source,
                                        const std::vector<std::string>& extra) const {
    auto child = startTellwyn(server(), source, extra);
    EXPECT_TRUE(waitForCaptureSetUp(*child)) << describeOutput(*child);
    return child;
  }
};

class StreamingOnBothServersTest : public StreamingTest,
                                   public ::testing::WithParamInterface<PulseServerKind> {
 protected:
  PulseServerKind kind() const override { return GetParam(); }
};

TEST_P(StreamingOnBothServersTest, SpeechBecomesPartialsThenOneFinalAfterTheSilence) {
  auto child = startOn(kMono16Source, {"--silence-ms=2000"});
  server().feedFile(kMono16Source, kGoForward);

  const auto final = child->waitForStdoutLine(isFinalLine, 60s);
  ASSERT_TRUE(final.has_value()) << describeOutput(*child);
  EXPECT_EQ(*final, finalLine(kGoForwardWords)) << describeOutput(*child);

  const auto lines = child->stdoutLines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_TRUE(isPartialLine(lines.front())) << describeOutput(*child);
  EXPECT_EQ(lines[lines.size() - 2], R"({"type":"partial","text":"go forward ten meters"})");

  // With nothing pending, SIGTERM adds no final.
  child->sendSignal(SIGTERM);
  const auto status = child->wait(30s);
  EXPECT_EQ(status.code, 0) << describeOutput(*child);
  EXPECT_EQ(child->stdoutLines().size(), lines.size()) << describeOutput(*child);
  EXPECT_TRUE(onlyJsonAndDebugLines(*child)) << describeOutput(*child);
}

TEST_F(StreamingTest, TheSilenceDelayDecidesWhenTheFinalComes) {
  auto child = startOn(kMono16Source, {"--silence-ms=2500"});
  server().feedFile(kMono16Source, kGoForward);

  ASSERT_TRUE(child->waitForStdoutLine(
      [](const std::string& line) { return line.find(kGoForwardWords) != std::string::npos; }, 60s))
      << describeOutput(*child);
  const auto lastPartialSeen = std::chrono::steady_clock::now();
  ASSERT_TRUE(child->waitForStdoutLine(isFinalLine, 60s)) << describeOutput(*child);
  const auto waited = std::chrono::steady_clock::now() - lastPartialSeen;
  // The final cannot come before the delay; a loaded machine may make it late.
  EXPECT_GE(waited, 2000ms);
  child->sendSignal(SIGTERM);
  EXPECT_EQ(child->wait(30s).code, 0);
}

// Sends SIGTERM once the whole of goforward is pending, and checks that the
// stop writes it as the one final of the run and exits 0.
void expectSigtermWritesThePendingTextAsTheOnlyFinal(ChildProcess& child) {
  ASSERT_TRUE(child.waitForStdoutLine(
      [](const std::string& line) { return line.find(kGoForwardWords) != std::string::npos; }, 60s))
      << describeOutput(child);
  child.sendSignal(SIGTERM);
  const auto status = child.wait(30s);
  EXPECT_EQ(status.code, 0) << describeOutput(child);
  std::vector<std::string> finals;
  for (const auto& line : child.stdoutLines()) {
    if (isFinalLine(line)) finals.push_back(line);
  }
  EXPECT_EQ(finals, std::vector<std::string>{finalLine(kGoForwardWords)}) << describeOutput(child);
  EXPECT_TRUE(isFinalLine(child.stdoutLines().back()));
  EXPECT_TRUE(onlyJsonAndDebugLines(child)) << describeOutput(child);
}

TEST_P(StreamingOnBothServersTest, SigtermWithAPartialPendingWritesItAsTheOnlyFinal) {
  auto child = startOn(kMono16Source, {"--silence-ms=600000"});
  server().feedFile(kMono16Source, kGoForward);
  expectSigtermWritesThePendingTextAsTheOnlyFinal(*child);
}

TEST_F(StreamingTest, DelaysBeyondTheClockNeverEndAnUtterance) {
  // From the command line, or from a config line sent before the speech.
  // Delays beyond the clock's range once fired at once and gave a final after
  // every partial.
  struct Case {
    std::string argument;
    std::string configLine;
  };
  const Case cases[] = {
      {"--silence-ms=1e13", ""},
      {"--silence-ms=1e308", ""},
      {"--silence-ms=800", R"({"type":"config","silenceMs":1e13})"},
      {"--silence-ms=800", R"({"type":"config","silenceMs":1e308})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.argument + " " + c.configLine);
    auto child = startOn(kMono16Source, {c.argument});
    if (!c.configLine.empty()) {
      ASSERT_TRUE(child->writeStdin(c.configLine + "\n"));
      ASSERT_TRUE(child->waitForStderrLine(
          [](const std::string& line) { return startsWith(line, "debug: config update"); }, 30s))
          << describeOutput(*child);
    }
    server().feedFile(kMono16Source, kGoForward);
    expectSigtermWritesThePendingTextAsTheOnlyFinal(*child);
    server().clearFeed(kMono16Source);
  }
}

TEST_P(StreamingOnBothServersTest, StereoSourceIsRecognizedFromItsLoudChannel) {
  // The recording at 48 kHz (linear interpolation) on channel 1; channel 0
  // stays silent.
  const auto samples = readS16Samples(kGoForward);
  std::vector<float> mono(samples.size());
  for (std::size_t i = 0; i < mono.size(); ++i) mono[i] = static_cast<float>(samples[i]) / 32768.0f;
  std::vector<float> stereo;
  stereo.reserve(mono.size() * 6);
  for (std::size_t i = 0; i < mono.size(); ++i) {
    const float next = i + 1 < mono.size() ? mono[i + 1] : mono[i];
    for (int k = 0; k < 3; ++k) {
      stereo.push_back(0.0f);
      stereo.push_back(mono[i] + (next - mono[i]) * static_cast<float>(k) / 3.0f);
    }
  }

  // Faint noise on channel 1 until the speech starts, so that channel 1 is
  // the louder one from the first captured buffer on.
  std::vector<float> hiss(48000 * 2 * 30);
  std::uint32_t seed = 1;
  for (std::size_t i = 1; i < hiss.size(); i += 2) {
    seed = seed * 1664525u + 1013904223u;
    hiss[i] = static_cast<float>(seed >> 8) / static_cast<float>(1u << 24) * 0.002f - 0.001f;
  }
  server().feedSamples(kStereo48Source, hiss);

  auto child = startOn(kStereo48Source, {"--silence-ms=2000"});
  // The channel choice of the first captured buffer is the one logged; play
  // the speech once it is made.
  const auto selected = child->waitForStderrLine(
      [](const std::string& line) { return startsWith(line, "debug: downmix select "); }, 30s);
  ASSERT_TRUE(selected.has_value()) << describeOutput(*child);
  EXPECT_TRUE(startsWith(*selected, "debug: downmix select channel=1 energy=")) << *selected;
  server().clearFeed(kStereo48Source);
  server().feedSamples(kStereo48Source, stereo);

  const auto final = child->waitForStdoutLine(isFinalLine, 60s);
  ASSERT_TRUE(final.has_value()) << describeOutput(*child);
  EXPECT_EQ(*final, finalLine(kGoForwardWords)) << describeOutput(*child);
  const auto stderrLines = child->stderrLines();
  EXPECT_NE(std::find(stderrLines.begin(), stderrLines.end(),
                      "debug: downmix enabled sourceChannels=2 targetChannels=1"),
            stderrLines.end());
  child->sendSignal(SIGTERM);
  EXPECT_EQ(child->wait(30s).code, 0);
}

INSTANTIATE_TEST_SUITE_P(BothServers, StreamingOnBothServersTest,
                         ::testing::ValuesIn(kBothServerKinds), serverKindTestName);

}  // namespace
}  // namespace tellwyn
