#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"

namespace tellwyn::testing {

// Sample formats a pipe source can deliver.
enum class PulseSampleFormat { kS16le, kFloat32le };

// One capture source of the private server, fed through a FIFO.
struct PipeSourceSpec {
  std::string name;         // the source name (a device UID to Tellwyn)
  std::string description;  // its human-readable name; no quotes, "|" or ";"
  PulseSampleFormat format = PulseSampleFormat::kS16le;
  int rate = 16000;
  int channels = 1;

  std::size_t frameBytes() const;
};

// The standard sources: 1-channel 16 kHz s16le and 2-channel 48 kHz float32le.
inline constexpr char kMono16Source[] = "tellwyn_mono16";
inline constexpr char kMono16Description[] = "Tellwyn Test Mono";
inline constexpr char kStereo48Source[] = "tellwyn_stereo48";
inline constexpr char kStereo48Description[] = "Tellwyn Test Stereo";
inline constexpr char kNullSink[] = "tellwyn_null";  // its monitor is "tellwyn_null.monitor"
std::vector<PipeSourceSpec> defaultPipeSources();

// The sound server a PulseServer runs: a PulseAudio daemon, or PipeWire
// with its session manager and its pulse server (pipewire-pulse).
enum class PulseServerKind { kPulseAudio, kPipeWire };
// "pulseaudio" or "pipewire": scripts/pulse-server's --kind and test names.
const char* kindName(PulseServerKind kind);
// For tests run against both servers:
//   INSTANTIATE_TEST_SUITE_P(BothServers, FooTest, ::testing::ValuesIn(kBothServerKinds),
//                            serverKindTestName);
inline constexpr PulseServerKind kBothServerKinds[] = {PulseServerKind::kPulseAudio,
                                                       PulseServerKind::kPipeWire};
std::string serverKindTestName(const ::testing::TestParamInfo<PulseServerKind>& info);

struct PulseServerOptions {
  // Loaded in this order after the null sink, so their source indexes follow
  // the monitor's. The first one becomes the default source.
  std::vector<PipeSourceSpec> sources = defaultPipeSources();
  // Keeps one recorder attached to each pipe source, pinned to it, so the
  // FIFO is drained continuously and no stale audio waits in it for the next
  // client.
  bool attachRecorders = true;
  std::chrono::milliseconds startTimeout{30000};
  PulseServerKind kind = PulseServerKind::kPulseAudio;
};

// A private sound server for tests, set up by scripts/pulse-server (the one
// implementation that the scripts, the demo and the benchmarks use too): its
// own temporary runtime directory, socket and configuration (nothing from
// $HOME or the machine's sound configuration), a null sink and the pipe
// sources of the options, each fed at real-time pace by the script's feeder:
// queued audio first, then silence, so a source never stalls.
//
// Clients reach it with clientEnvironment() (PULSE_SERVER=unix:<dir>/pulse/native;
// XDG_RUNTIME_DIR=directory() works as well). The constructor waits until the
// server answers, has its sources and its default source, and throws
// std::runtime_error (with the server's logs) when it does not. The
// destructor stops every process by PID, newest first, and removes the
// directory; the script also stops the server once this test process has
// gone, so a crashed test leaves nothing running.
//
// Several instances, also in parallel test processes, never share anything.
// Methods may be called from any thread.
class PulseServer {
 public:
  explicit PulseServer(PulseServerOptions options = {});
  ~PulseServer();
  PulseServer(const PulseServer&) = delete;
  PulseServer& operator=(const PulseServer&) = delete;

  PulseServerKind kind() const { return options_.kind; }
  const std::filesystem::path& directory() const { return directory_; }
  // "unix:<directory>/pulse/native".
  const std::string& serverAddress() const { return address_; }
  // For ChildProcess / runProcess: points libpulse clients at this server.
  std::map<std::string, std::optional<std::string>> clientEnvironment() const;
  // Sets PULSE_SERVER in this process, for libpulse clients inside the test.
  // Call it before any thread reads the environment.
  void exportToThisProcess() const;
  // The process clients talk to: pulseaudio, or pipewire-pulse. Killing it
  // ends every client's connection.
  pid_t pid() const { return serverPid_; }
  const std::vector<PipeSourceSpec>& sources() const { return options_.sources; }
  // What the server's processes have written to their logs so far.
  std::string log() const;

  // Runs pactl against this server (10 s timeout).
  RunResult pactl(const std::vector<std::string>& arguments) const;
  // pactl's standard output lines; throws std::runtime_error when it fails.
  std::vector<std::string> pactlLines(const std::vector<std::string>& arguments) const;
  // Unloads the module of the pipe source `source`, which then goes away for
  // its clients; whether pactl succeeded (false when no module has it).
  bool unloadSource(const std::string& source) const;

  // Queues audio for a pipe source, played after what is already queued.
  // Bytes are in the source's own format (whole frames).
  void feedBytes(const std::string& source, std::vector<std::byte> bytes);
  // Interleaved samples in [-1, 1], converted to the source's format.
  void feedSamples(const std::string& source, std::span<const float> interleaved);
  // A sine on every channel.
  void feedTone(const std::string& source, double frequency, double seconds,
                double amplitude = 0.5);
  // A raw file in the source's format, or a WAV file whose format matches the
  // source (throws std::runtime_error when it does not).
  void feedFile(const std::string& source, const std::filesystem::path& path);
  // Drops audio not yet written.
  void clearFeed(const std::string& source);
  // Waits until everything queued for `source` has been written to its FIFO
  // (the last tick of it may still be on its way).
  bool waitUntilFed(const std::string& source, std::chrono::milliseconds timeout);

 private:
  const PipeSourceSpec& specFor(const std::string& source) const;
  std::filesystem::path queueOf(const std::string& source) const;
  RunResult runScript(const std::vector<std::string>& arguments,
                      std::chrono::milliseconds timeout) const;
  void stop();

  PulseServerOptions options_;
  std::filesystem::path directory_;
  std::string address_;
  pid_t serverPid_ = -1;
  mutable std::mutex mutex_;
  std::int64_t lastQueueName_ = 0;  // guarded by mutex_
};

// The server of `kind` shared by all tests of this process: started on first
// use (on the calling thread, which should be the test's main thread),
// stopped when the process exits. Throws std::runtime_error when it cannot
// start.
PulseServer& sharedPulseServer(PulseServerKind kind = PulseServerKind::kPulseAudio);

// An environment in which libpulse clients find no server at all.
std::map<std::string, std::optional<std::string>> noPulseServerEnvironment();
inline constexpr char kDeadPulseServer[] = "unix:/nonexistent/tellwyn-test/native";

}  // namespace tellwyn::testing
