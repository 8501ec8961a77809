#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
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
  std::string description;  // its human-readable name; no single quotes
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

struct PulseServerOptions {
  // Loaded in this order after the null sink, so their source indexes follow
  // the monitor's. The first one becomes the default source.
  std::vector<PipeSourceSpec> sources = defaultPipeSources();
  // Keeps one recorder attached to each pipe source, so the FIFO is drained
  // continuously and no stale audio waits in it for the next client.
  bool attachRecorders = true;
  std::chrono::milliseconds startTimeout{15000};
};

// A private PulseAudio daemon for tests: its own temporary runtime directory,
// socket and configuration (nothing from $HOME or the system's default.pa),
// a null sink and the pipe sources of the options. Each pipe source's FIFO is
// written at real-time pace by a background thread: queued audio first, then
// silence, so a source never stalls.
//
// Clients reach it with clientEnvironment() (PULSE_SERVER=unix:<dir>/pulse/native;
// XDG_RUNTIME_DIR=directory() works as well). The constructor waits until the
// server answers and throws std::runtime_error (with the daemon's log) when it
// does not. The destructor stops the recorders and the daemon by PID
// (SIGTERM, then SIGKILL after a grace period) and removes the directory; the
// children also get SIGTERM if the thread that created the server dies, so a
// crashed test leaves no daemon behind. Create it on the test's main thread.
//
// Several instances, also in parallel test processes, never share anything.
// Methods may be called from any thread.
class PulseServer {
 public:
  explicit PulseServer(PulseServerOptions options = {});
  ~PulseServer();
  PulseServer(const PulseServer&) = delete;
  PulseServer& operator=(const PulseServer&) = delete;

  const std::filesystem::path& directory() const { return directory_; }
  // "unix:<directory>/pulse/native".
  const std::string& serverAddress() const { return address_; }
  // For ChildProcess / runProcess: points libpulse clients at this server.
  std::map<std::string, std::optional<std::string>> clientEnvironment() const;
  // Sets PULSE_SERVER in this process, for libpulse clients inside the test.
  // Call it before any thread reads the environment.
  void exportToThisProcess() const;
  pid_t pid() const { return daemonPid_; }
  const std::vector<PipeSourceSpec>& sources() const { return options_.sources; }
  // What the daemon has written to its log so far.
  std::string log() const;

  // Runs pactl against this server (10 s timeout).
  RunResult pactl(const std::vector<std::string>& arguments) const;
  // pactl's standard output lines; throws std::runtime_error when it fails.
  std::vector<std::string> pactlLines(const std::vector<std::string>& arguments) const;

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
  // Waits until everything queued for `source` has left the queue (the last
  // 50 ms of it may still be on its way into the FIFO).
  bool waitUntilFed(const std::string& source, std::chrono::milliseconds timeout);

 private:
  struct Feed {
    PipeSourceSpec spec;
    int fd = -1;
    std::deque<std::vector<std::byte>> queue;  // guarded by mutex_
    std::size_t frontOffset = 0;               // guarded by mutex_
    std::vector<std::byte> carry;              // feeder thread only
    std::uint64_t bytesWritten = 0;            // feeder thread only
  };

  void start();
  void waitUntilAnswering();
  void stop();
  void feedLoop();
  void feedOnce(Feed& feed, std::chrono::steady_clock::time_point now);
  Feed& feedFor(const std::string& source);
  bool queueEmpty(const Feed& feed) const;

  PulseServerOptions options_;
  std::filesystem::path directory_;
  std::string address_;
  pid_t daemonPid_ = -1;
  std::vector<pid_t> recorderPids_;
  std::vector<std::unique_ptr<Feed>> feeds_;
  std::chrono::steady_clock::time_point feedStart_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable fed_;
  bool stopping_ = false;  // guarded by mutex_
  std::thread feeder_;
};

// The server shared by all tests of this process: started on first use (on
// the calling thread, which should be the test's main thread), stopped when
// the process exits. Throws std::runtime_error when it cannot start.
PulseServer& sharedPulseServer();

// An environment in which libpulse clients find no server at all.
std::map<std::string, std::optional<std::string>> noPulseServerEnvironment();
inline constexpr char kDeadPulseServer[] = "unix:/nonexistent/tellwyn-test/native";

}  // namespace tellwyn::testing
