// The private sound server that the daemon-backed tests share: its sources,
// real-time feeding through the FIFOs, privacy between instances and a clean
// stop.
#include "support/pulse_server.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>

namespace tellwyn::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

// The second column of `pactl list short sources`.
std::vector<std::string> sourceNames(const PulseServer& server) {
  std::vector<std::string> names;
  for (const auto& line : server.pactlLines({"list", "short", "sources"})) {
    const auto start = line.find('\t') + 1;
    names.push_back(line.substr(start, line.find('\t', start) - start));
  }
  return names;
}

// Records `seconds` of the source's audio as 16-bit mono 16 kHz samples.
std::vector<std::int16_t> record(const PulseServer& server, const std::string& source,
                                 double seconds) {
  const auto file = server.directory() / ("recorded-" + source);
  const std::string command = "exec timeout -s INT " + std::to_string(seconds) +
                              " /usr/bin/parec --raw --format=s16le --rate=16000 --channels=1 "
                              "--latency-msec=20 --device=" +
                              source + " > " + file.string();
  runProcess({"/bin/sh", "-c", command}, server.clientEnvironment());
  std::ifstream in(file, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::int16_t> samples(bytes.size() / 2);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
  return samples;
}

TEST(PulseServerTest, OffersTheStandardSources) {
  auto& server = sharedPulseServer();
  EXPECT_THAT(sourceNames(server),
              ElementsAre("tellwyn_null.monitor", kMono16Source, kStereo48Source));
  EXPECT_THAT(server.pactlLines({"get-default-source"}), ElementsAre(kMono16Source));
  std::string descriptions;
  for (const auto& line : server.pactlLines({"list", "sources"})) descriptions += line + "\n";
  EXPECT_THAT(descriptions, HasSubstr("Description: Tellwyn Test Mono\n"));
  EXPECT_THAT(descriptions, HasSubstr("Description: Tellwyn Test Stereo\n"));
  EXPECT_THAT(descriptions, HasSubstr("Sample Specification: float32le 2ch 48000Hz"));
}

TEST(PulseServerTest, FedAudioArrivesAtRealTimePaceBetweenSilence) {
  auto& server = sharedPulseServer();
  for (const char* source : {kMono16Source, kStereo48Source}) {
    SCOPED_TRACE(source);
    server.feedTone(source, 440, 0.5, 0.5);
    const auto samples = record(server, source, 1.5);
    EXPECT_TRUE(server.waitUntilFed(source, std::chrono::seconds(5)));
    // Roughly 1.5 s of audio: never a burst of queued data, and no stall.
    EXPECT_GT(samples.size(), 16000u * 6 / 10);
    EXPECT_LT(samples.size(), 16000u * 2);
    std::size_t loud = 0;
    for (const auto s : samples) loud += std::abs(s) > 8000 ? 1 : 0;
    // About half of the tone's 0.5 s is above 8000 of 16384; the rest is silence.
    EXPECT_GT(loud, 16000u / 10);
    EXPECT_LT(loud, 16000u / 2);
  }
}

TEST(PulseServerTest, InstancesArePrivateAndStopCleanly) {
  pid_t firstPid = -1;
  std::filesystem::path firstDirectory;
  {
    PulseServerOptions options;
    options.sources = {{"custom_a", "Custom A", PulseSampleFormat::kS16le, 8000, 1}};
    options.attachRecorders = false;
    PulseServer first(options);
    PulseServer second({.sources = {}, .attachRecorders = false});
    firstPid = first.pid();
    firstDirectory = first.directory();
    EXPECT_NE(first.serverAddress(), second.serverAddress());
    EXPECT_NE(first.serverAddress(), sharedPulseServer().serverAddress());
    EXPECT_THAT(sourceNames(first), ElementsAre("tellwyn_null.monitor", "custom_a"));
    EXPECT_THAT(sourceNames(second), ElementsAre("tellwyn_null.monitor"));
    EXPECT_THROW(first.feedTone("tellwyn_mono16", 440, 0.1), std::runtime_error);
    EXPECT_THROW(first.feedBytes("custom_a", std::vector<std::byte>(3)), std::runtime_error);
  }
  EXPECT_EQ(::kill(firstPid, 0), -1);
  EXPECT_FALSE(std::filesystem::exists(firstDirectory));
}

}  // namespace
}  // namespace tellwyn::testing
