// The private sound server that the daemon-backed tests share, on both
// kinds of server: its sources, real-time feeding through the FIFOs,
// recorders that stay on their sources, privacy between instances and a
// clean stop.
#include "support/pulse_server.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <thread>

#include "support/temp_files.h"

namespace tellwyn::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

// The second column of `pactl list short <what>`.
std::vector<std::string> secondColumn(const PulseServer& server, const std::string& what) {
  std::vector<std::string> values;
  for (const auto& line : server.pactlLines({"list", "short", what})) {
    const auto start = line.find('\t') + 1;
    values.push_back(line.substr(start, line.find('\t', start) - start));
  }
  return values;
}

std::vector<std::string> sourceNames(const PulseServer& server) {
  return secondColumn(server, "sources");
}

// The source index of each of the server's source names.
std::string sourceIndex(const PulseServer& server, const std::string& name) {
  for (const auto& line : server.pactlLines({"list", "short", "sources"})) {
    if (line.find("\t" + name + "\t") != std::string::npos) return line.substr(0, line.find('\t'));
  }
  return "";
}

// Whether the process runs (a zombie waiting to be reaped does not).
bool processRuns(pid_t pid) {
  const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  const auto close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z' &&
         stat[close + 2] != 'X';
}

// A 0.5 s tone queued for `source` once a recorder of it is connected: it
// arrives between silence, at real-time pace.
void expectToneBetweenSilence(PulseServer& server, const std::string& source) {
  const auto file = server.directory() / ("recorded-" + source);
  const auto outputsBefore = secondColumn(server, "source-outputs").size();
  const auto started = std::chrono::steady_clock::now();
  ChildProcess recorder({"/bin/sh", "-c",
                         "exec /usr/bin/parec --raw --format=s16le --rate=16000 --channels=1 "
                         "--latency-msec=20 --device=" +
                             source + " > " + file.string()},
                        server.clientEnvironment());
  const auto deadline = started + std::chrono::seconds(10);
  while (secondColumn(server, "source-outputs").size() == outputsBefore &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // linked, on a slow machine
  server.feedTone(source, 440, 0.5, 0.5);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  recorder.sendSignal(SIGINT);
  EXPECT_EQ(recorder.wait(std::chrono::seconds(10)).code, 0);
  const double recordedFor =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_TRUE(server.waitUntilFed(source, std::chrono::seconds(5)));

  const auto samples = readS16Samples(file);
  // At least the 1.5 s after the tone began, and never a burst of queued
  // data: no more than real time since the recorder started.
  EXPECT_GT(samples.size(), 16000u * 12 / 10);
  EXPECT_LT(static_cast<double>(samples.size()), (recordedFor + 0.1) * 16000);
  std::size_t loud = 0;
  for (const auto s : samples) loud += std::abs(s) > 8000 ? 1 : 0;
  // About half of the tone's 0.5 s is above 8000 of 16384; the rest is silence.
  EXPECT_GT(loud, 16000u / 10);
  EXPECT_LT(loud, 16000u / 2);
}

class PulseServerTest : public ::testing::TestWithParam<PulseServerKind> {
 protected:
  PulseServer& server() { return sharedPulseServer(GetParam()); }
};

TEST_P(PulseServerTest, OffersTheStandardSources) {
  EXPECT_EQ(server().kind(), GetParam());
  EXPECT_THAT(sourceNames(server()),
              ElementsAre("tellwyn_null.monitor", kMono16Source, kStereo48Source));
  EXPECT_THAT(server().pactlLines({"get-default-source"}), ElementsAre(kMono16Source));
  std::string descriptions;
  for (const auto& line : server().pactlLines({"list", "sources"})) descriptions += line + "\n";
  // Whole descriptions: a property value cut at its first space would show.
  EXPECT_THAT(descriptions, HasSubstr("Description: Tellwyn Test Mono\n"));
  EXPECT_THAT(descriptions, HasSubstr("Description: Tellwyn Test Stereo\n"));
  EXPECT_THAT(descriptions, HasSubstr("Sample Specification: s16le 1ch 16000Hz"));
  EXPECT_THAT(descriptions, HasSubstr("Sample Specification: float32le 2ch 48000Hz"));
  const std::string info = [&] {
    std::string text;
    for (const auto& line : server().pactlLines({"info"})) text += line + "\n";
    return text;
  }();
  EXPECT_THAT(info,
              HasSubstr(GetParam() == PulseServerKind::kPipeWire ? "on PipeWire"
                                                                 : "Server Name: pulseaudio"));
}

TEST_P(PulseServerTest, FedAudioArrivesAtRealTimePaceBetweenSilence) {
  for (const char* source : {kMono16Source, kStereo48Source}) {
    SCOPED_TRACE(source);
    expectToneBetweenSilence(server(), source);
  }
}

TEST_P(PulseServerTest, RecordersStayOnTheirSourcesWhenTheDefaultChanges) {
  const std::vector<std::string> before = secondColumn(server(), "source-outputs");
  EXPECT_THAT(before, ElementsAre(sourceIndex(server(), kMono16Source),
                                  sourceIndex(server(), kStereo48Source)));
  for (const char* target : {kStereo48Source, "tellwyn_null.monitor", kMono16Source}) {
    SCOPED_TRACE(target);
    ASSERT_EQ(server().pactl({"set-default-source", target}).status.code, 0);
    EXPECT_THAT(server().pactlLines({"get-default-source"}), ElementsAre(target));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // a move takes a moment
    EXPECT_EQ(secondColumn(server(), "source-outputs"), before);
  }
  // The mono source still plays at real-time pace, not stalled behind a
  // recorder that left it.
  ASSERT_EQ(server().pactl({"set-default-source", kStereo48Source}).status.code, 0);
  expectToneBetweenSilence(server(), kMono16Source);
  ASSERT_EQ(server().pactl({"set-default-source", kMono16Source}).status.code, 0);
}

TEST_P(PulseServerTest, InstancesArePrivateAndStopCleanly) {
  std::vector<pid_t> pids;
  std::filesystem::path firstDirectory;
  {
    PulseServerOptions options;
    options.sources = {{"custom_a", "Custom A", PulseSampleFormat::kS16le, 8000, 1}};
    options.attachRecorders = false;
    options.kind = GetParam();
    PulseServer first(options);
    PulseServer second({.sources = {}, .attachRecorders = false, .kind = GetParam()});
    firstDirectory = first.directory();
    std::ifstream pidFile(firstDirectory / "pids");
    for (pid_t pid = 0; pidFile >> pid;) {
      pids.push_back(pid);
      pidFile.ignore(1 << 10, '\n');
    }
    EXPECT_THAT(pids, ::testing::Contains(first.pid()));
    EXPECT_NE(first.serverAddress(), second.serverAddress());
    EXPECT_NE(first.serverAddress(), server().serverAddress());
    EXPECT_THAT(sourceNames(first), ElementsAre("tellwyn_null.monitor", "custom_a"));
    EXPECT_THAT(sourceNames(second), ElementsAre("tellwyn_null.monitor"));
    EXPECT_THAT(first.pactlLines({"list", "short", "source-outputs"}), ::testing::IsEmpty());
    EXPECT_THROW(first.feedTone("tellwyn_mono16", 440, 0.1), std::runtime_error);
    EXPECT_THROW(first.feedBytes("custom_a", std::vector<std::byte>(3)), std::runtime_error);
  }
  for (const pid_t pid : pids) EXPECT_FALSE(processRuns(pid)) << pid;
  EXPECT_FALSE(std::filesystem::exists(firstDirectory));
}

INSTANTIATE_TEST_SUITE_P(BothServers, PulseServerTest, ::testing::ValuesIn(kBothServerKinds),
                         serverKindTestName);

}  // namespace
}  // namespace tellwyn::testing
