// The whole product end to end: build/tellwyn against a private sound server
// whose pipe sources play recorded speech at real-time pace, recognized by
// pocketsphinx with the installed en-us model.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/pulse_server.h"

namespace tellwyn {
namespace {

using namespace std::chrono_literals;
using ::tellwyn::testing::ChildProcess;
using ::tellwyn::testing::PulseServer;

const char kGoForward[] = "/usr/share/pocketsphinx/test/data/goforward.raw";
const char kGoForwardWords[] = "go forward ten meters";

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.rfind(prefix, 0) == 0;
}
bool isPartial(const std::string& line) { return startsWith(line, R"({"type":"partial",)"); }
bool isFinal(const std::string& line) { return startsWith(line, R"({"type":"final",)"); }

std::string finalLine(const std::string& text) {
  return R"({"type":"final","text":")" + text + "\"}";
}

// One server for every test here: starting it costs about a second.
class StreamingTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new PulseServer(); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }

  void TearDown() override {
    server_->clearFeed(::tellwyn::testing::kMono16Source);
    server_->clearFeed(::tellwyn::testing::kStereo48Source);
  }

  // Starts tellwyn on `source` and waits until it captures.
  std::unique_ptr<ChildProcess> startTellwyn(const std::string& source,
                                             std::vector<std::string> extra = {}) {
    std::vector<std::string> arguments = {TELLWYN_BINARY, "--device-id=" + source};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    auto environment = server_->clientEnvironment();
    environment["LANG"] = "en_US.UTF-8";
    environment["LC_ALL"] = std::nullopt;
    auto child = std::make_unique<ChildProcess>(arguments, environment);
    const auto format = child->waitForStderrLine(
        [](const std::string& line) { return startsWith(line, "debug: input format "); }, 30s);
    EXPECT_TRUE(format.has_value()) << describe(*child);
    return child;
  }

  static std::string describe(ChildProcess& child) {
    std::string text = "stdout:\n";
    for (const auto& line : child.stdoutLines()) text += "  " + line + "\n";
    text += "stderr:\n";
    for (const auto& line : child.stderrLines()) text += "  " + line + "\n";
    return text;
  }

  static void expectOnlyJsonAndDebugLines(ChildProcess& child) {
    for (const auto& line : child.stdoutLines()) EXPECT_TRUE(startsWith(line, "{")) << line;
    for (const auto& line : child.stderrLines()) EXPECT_TRUE(startsWith(line, "debug: ")) << line;
  }

  static PulseServer* server_;
};

PulseServer* StreamingTest::server_ = nullptr;

TEST_F(StreamingTest, SpeechBecomesPartialsThenOneFinalAfterTheSilence) {
  auto child = startTellwyn(::tellwyn::testing::kMono16Source, {"--silence-ms=800"});
  server_->feedFile(::tellwyn::testing::kMono16Source, kGoForward);

  const auto final = child->waitForStdoutLine(isFinal, 60s);
  ASSERT_TRUE(final.has_value()) << describe(*child);
  EXPECT_EQ(*final, finalLine(kGoForwardWords)) << describe(*child);

  const auto lines = child->stdoutLines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_TRUE(isPartial(lines.front())) << describe(*child);
  EXPECT_EQ(lines[lines.size() - 2], R"({"type":"partial","text":"go forward ten meters"})");

  // With nothing pending, SIGTERM adds no final.
  child->sendSignal(SIGTERM);
  const auto status = child->wait(30s);
  EXPECT_EQ(status.code, 0) << describe(*child);
  EXPECT_EQ(child->stdoutLines().size(), lines.size()) << describe(*child);
  expectOnlyJsonAndDebugLines(*child);
}

TEST_F(StreamingTest, TheSilenceDelayDecidesWhenTheFinalComes) {
  auto child = startTellwyn(::tellwyn::testing::kMono16Source, {"--silence-ms=2500"});
  server_->feedFile(::tellwyn::testing::kMono16Source, kGoForward);

  ASSERT_TRUE(child->waitForStdoutLine(
      [](const std::string& line) { return line.find(kGoForwardWords) != std::string::npos; }, 60s))
      << describe(*child);
  const auto lastPartialSeen = std::chrono::steady_clock::now();
  ASSERT_TRUE(child->waitForStdoutLine(isFinal, 60s)) << describe(*child);
  const auto waited = std::chrono::steady_clock::now() - lastPartialSeen;
  // The final cannot come before the delay; a loaded machine may make it late.
  EXPECT_GE(waited, 2000ms);
  child->sendSignal(SIGTERM);
  EXPECT_EQ(child->wait(30s).code, 0);
}

TEST_F(StreamingTest, SigtermWithAPartialPendingWritesItAsTheOnlyFinal) {
  auto child = startTellwyn(::tellwyn::testing::kMono16Source, {"--silence-ms=600000"});
  server_->feedFile(::tellwyn::testing::kMono16Source, kGoForward);
  ASSERT_TRUE(child->waitForStdoutLine(
      [](const std::string& line) { return line.find(kGoForwardWords) != std::string::npos; }, 60s))
      << describe(*child);

  child->sendSignal(SIGTERM);
  const auto status = child->wait(30s);
  EXPECT_EQ(status.code, 0) << describe(*child);
  std::vector<std::string> finals;
  for (const auto& line : child->stdoutLines()) {
    if (isFinal(line)) finals.push_back(line);
  }
  EXPECT_EQ(finals, std::vector<std::string>{finalLine(kGoForwardWords)}) << describe(*child);
  EXPECT_TRUE(isFinal(child->stdoutLines().back()));
  expectOnlyJsonAndDebugLines(*child);
}

TEST_F(StreamingTest, StereoSourceIsRecognizedFromItsLoudChannel) {
  // The recording at 48 kHz (linear interpolation) on channel 1; channel 0
  // stays silent.
  std::ifstream in(kGoForward, std::ios::binary);
  const std::vector<char> raw((std::istreambuf_iterator<char>(in)), {});
  std::vector<float> mono(raw.size() / 2);
  for (std::size_t i = 0; i < mono.size(); ++i) {
    const auto lo = static_cast<std::uint8_t>(raw[2 * i]);
    const auto hi = static_cast<std::uint8_t>(raw[2 * i + 1]);
    mono[i] = static_cast<float>(static_cast<std::int16_t>(lo | (hi << 8))) / 32768.0f;
  }
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
  server_->feedSamples(::tellwyn::testing::kStereo48Source, hiss);

  auto child = startTellwyn(::tellwyn::testing::kStereo48Source, {"--silence-ms=800"});
  // The channel choice of the first captured buffer is the one logged; play
  // the speech once it is made.
  const auto selected = child->waitForStderrLine(
      [](const std::string& line) { return startsWith(line, "debug: downmix select "); }, 30s);
  ASSERT_TRUE(selected.has_value()) << describe(*child);
  EXPECT_TRUE(startsWith(*selected, "debug: downmix select channel=1 energy=")) << *selected;
  server_->clearFeed(::tellwyn::testing::kStereo48Source);
  server_->feedSamples(::tellwyn::testing::kStereo48Source, stereo);

  const auto final = child->waitForStdoutLine(isFinal, 60s);
  ASSERT_TRUE(final.has_value()) << describe(*child);
  EXPECT_EQ(*final, finalLine(kGoForwardWords)) << describe(*child);
  const auto stderrLines = child->stderrLines();
  EXPECT_NE(std::find(stderrLines.begin(), stderrLines.end(),
                      "debug: downmix enabled sourceChannels=2 targetChannels=1"),
            stderrLines.end());
  child->sendSignal(SIGTERM);
  EXPECT_EQ(child->wait(30s).code, 0);
}

}  // namespace
}  // namespace tellwyn
