#include "support/pulse_server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <numbers>
#include <sstream>
#include <stdexcept>

namespace tellwyn::testing {
namespace {

static_assert(std::endian::native == std::endian::little,
              "the pipe sources take little-endian samples");

constexpr auto kFeedTick = std::chrono::milliseconds(10);
constexpr double kMaxCarrySeconds = 0.05;  // audio handed to the FIFO per step, at most
constexpr double kMaxLagSeconds = 0.3;     // a longer stall is forgiven, not caught up
constexpr auto kStopGrace = std::chrono::seconds(3);

const char* formatName(PulseSampleFormat format) {
  return format == PulseSampleFormat::kS16le ? "s16le" : "float32le";
}

std::string fifoName(const PipeSourceSpec& spec) { return spec.name + ".fifo"; }

// Starts `arguments` with `environment` only, standard input from /dev/null
// and both outputs to `outputFd`. The child gets SIGTERM when the calling
// thread ends, so a crashed test leaves nothing running.
pid_t spawnTied(const std::vector<std::string>& arguments,
                const std::vector<std::string>& environment, int outputFd) {
  std::vector<std::string> argv = arguments;
  std::vector<std::string> envp = environment;
  std::vector<char*> argvPointers;
  for (auto& a : argv) argvPointers.push_back(a.data());
  argvPointers.push_back(nullptr);
  std::vector<char*> envPointers;
  for (auto& e : envp) envPointers.push_back(e.data());
  envPointers.push_back(nullptr);
  const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  const pid_t parent = ::getpid();

  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(devNull);
    throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
  }
  if (pid == 0) {
    // Only async-signal-safe calls from here on.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(127);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig : {SIGPIPE, SIGTERM, SIGINT, SIGHUP}) ::signal(sig, SIG_DFL);
    ::setpgid(0, 0);  // keep terminal signals aimed at the test away
    ::dup2(devNull, 0);
    ::dup2(outputFd, 1);
    ::dup2(outputFd, 2);
    ::execve(argvPointers[0], argvPointers.data(), envPointers.data());
    ::_exit(127);
  }
  ::close(devNull);
  return pid;
}

// SIGTERM, then SIGKILL after the grace period; reaps the child.
void terminate(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + kStopGrace;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno == ECHILD)) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

bool exited(pid_t pid) {
  int status = 0;
  return ::waitpid(pid, &status, WNOHANG) == pid;
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::uint32_t readLe32(const std::string& bytes, std::size_t offset) {
  std::uint32_t value = 0;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

std::uint16_t readLe16(const std::string& bytes, std::size_t offset) {
  std::uint16_t value = 0;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

// The sample data of a RIFF/WAVE file, checked against the source's format;
// any other file is taken as raw samples.
std::string samplesOf(const std::string& file, const PipeSourceSpec& spec,
                      const std::filesystem::path& path) {
  if (file.size() < 12 || file.compare(0, 4, "RIFF") != 0 || file.compare(8, 4, "WAVE") != 0) {
    return file;
  }
  bool formatChecked = false;
  std::size_t offset = 12;
  while (offset + 8 <= file.size()) {
    const std::string id = file.substr(offset, 4);
    const std::size_t size = readLe32(file, offset + 4);
    const std::size_t body = offset + 8;
    if (body + size > file.size() && id != "data") break;
    if (id == "fmt " && size >= 16) {
      std::uint16_t tag = readLe16(file, body);
      if (tag == 0xfffe && size >= 26) tag = readLe16(file, body + 24);  // extensible
      const std::uint16_t channels = readLe16(file, body + 2);
      const std::uint32_t rate = readLe32(file, body + 4);
      const std::uint16_t bits = readLe16(file, body + 14);
      const bool isFloat = tag == 3 && bits == 32;
      const bool isS16 = tag == 1 && bits == 16;
      const bool formatMatches = spec.format == PulseSampleFormat::kS16le ? isS16 : isFloat;
      if (!formatMatches || channels != spec.channels ||
          rate != static_cast<std::uint32_t>(spec.rate)) {
        throw std::runtime_error(path.string() + " does not match source " + spec.name);
      }
      formatChecked = true;
    } else if (id == "data") {
      if (!formatChecked) throw std::runtime_error(path.string() + ": data before fmt");
      return file.substr(body, std::min(size, file.size() - body));
    }
    offset = body + size + (size & 1);
  }
  throw std::runtime_error(path.string() + ": no data chunk");
}

std::vector<std::string> baseEnvironment() {
  const char* path = std::getenv("PATH");
  return {std::string("PATH=") + (path ? path : "/usr/bin:/bin"), "LANG=C", "LC_ALL=C"};
}

// Removes the directories of servers whose test process was killed before it
// could clean up (its children died with it). Directories without an owner
// file (scripts/pulse-server's) are left alone.
void removeAbandonedDirectories() {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/tmp", error)) {
    if (entry.path().filename().string().rfind("tellwyn-pulse.", 0) != 0) continue;
    std::ifstream ownerFile(entry.path() / "owner");
    pid_t owner = 0;
    if (!(ownerFile >> owner) || owner <= 0) continue;
    if (::kill(owner, 0) == 0 || errno != ESRCH) continue;
    std::filesystem::remove_all(entry.path(), error);
  }
}

}  // namespace

std::size_t PipeSourceSpec::frameBytes() const {
  const std::size_t sampleBytes = format == PulseSampleFormat::kS16le ? 2 : 4;
  return sampleBytes * static_cast<std::size_t>(channels);
}

std::vector<PipeSourceSpec> defaultPipeSources() {
  return {
      {kMono16Source, kMono16Description, PulseSampleFormat::kS16le, 16000, 1},
      {kStereo48Source, kStereo48Description, PulseSampleFormat::kFloat32le, 48000, 2},
  };
}

PulseServer::PulseServer(PulseServerOptions options) : options_(std::move(options)) {
  removeAbandonedDirectories();
  std::string pattern = "/tmp/tellwyn-pulse.XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
  }
  directory_ = pattern;
  std::ofstream(directory_ / "owner") << ::getpid() << "\n";
  address_ = "unix:" + (directory_ / "pulse" / "native").string();
  try {
    start();
  } catch (...) {
    stop();
    throw;
  }
}

PulseServer::~PulseServer() { stop(); }

void PulseServer::start() {
  for (const char* sub : {"pulse", "config", "state"}) {
    std::filesystem::create_directories(directory_ / sub);
  }
  const auto script = directory_ / "tellwyn.pa";
  {
    std::ofstream pa(script);
    pa << "load-module module-native-protocol-unix auth-anonymous=1 socket="
       << (directory_ / "pulse" / "native").string() << "\n";
    pa << "load-module module-null-sink sink_name=" << kNullSink
       << " sink_properties=\"device.description='Tellwyn Test Output'\"\n";
    for (const auto& spec : options_.sources) {
      pa << "load-module module-pipe-source source_name=" << spec.name
         << " file=" << (directory_ / fifoName(spec)).string()
         << " format=" << formatName(spec.format) << " rate=" << spec.rate
         << " channels=" << spec.channels << " source_properties=\"device.description='"
         << spec.description << "'\"\n";
    }
    if (!options_.sources.empty()) {
      pa << "set-default-source " << options_.sources.front().name << "\n";
    }
  }

  const std::string dir = directory_.string();
  auto environment = baseEnvironment();
  environment.insert(environment.end(), {
                                            "HOME=" + dir,
                                            "XDG_RUNTIME_DIR=" + dir,
                                            "XDG_CONFIG_HOME=" + dir + "/config",
                                            "PULSE_RUNTIME_PATH=" + dir + "/pulse",
                                            "PULSE_STATE_PATH=" + dir + "/state",
                                        });
  const int logFd =
      ::open((directory_ / "daemon.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (logFd < 0) throw std::runtime_error("cannot create the daemon log");
  daemonPid_ = spawnTied(
      {"/usr/bin/pulseaudio", "-n", "--daemonize=no", "--system=no", "--exit-idle-time=-1",
       "--disallow-exit=yes", "--use-pid-file=no", "--realtime=no", "--high-priority=no",
       "--log-target=stderr", "--log-level=notice", "-F", script.string()},
      environment, logFd);
  ::close(logFd);
  waitUntilAnswering();

  for (const auto& spec : options_.sources) {
    auto feed = std::make_unique<Feed>();
    feed->spec = spec;
    feed->fd = ::open((directory_ / fifoName(spec)).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (feed->fd < 0) {
      throw std::runtime_error("cannot open the FIFO of " + spec.name + ": " +
                               std::strerror(errno));
    }
    feeds_.push_back(std::move(feed));
  }
  feedStart_ = std::chrono::steady_clock::now();
  feeder_ = std::thread([this] { feedLoop(); });

  if (options_.attachRecorders) {
    auto recorderEnvironment = baseEnvironment();
    recorderEnvironment.push_back("PULSE_SERVER=" + address_);
    recorderEnvironment.push_back("HOME=" + dir);
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    for (const auto& spec : options_.sources) {
      recorderPids_.push_back(spawnTied(
          {"/usr/bin/parec", "--device=" + spec.name, "--raw", "--latency-msec=20",
           std::string("--format=") + formatName(spec.format),
           "--rate=" + std::to_string(spec.rate), "--channels=" + std::to_string(spec.channels),
           "--client-name=tellwyn-test-recorder"},
          recorderEnvironment, devNull));
    }
    ::close(devNull);
  }
}

void PulseServer::waitUntilAnswering() {
  const auto deadline = std::chrono::steady_clock::now() + options_.startTimeout;
  for (;;) {
    if (exited(daemonPid_)) {
      daemonPid_ = -1;
      throw std::runtime_error("pulseaudio exited at start:\n" + log());
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) throw std::runtime_error("pulseaudio does not answer:\n" + log());
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    const auto result = runProcess({"/usr/bin/pactl", "info"}, clientEnvironment(), "",
                                   std::max(left, std::chrono::milliseconds(1000)));
    if (result.status.code == 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void PulseServer::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  fed_.notify_all();
  if (feeder_.joinable()) feeder_.join();
  for (auto& feed : feeds_) {
    if (feed->fd >= 0) ::close(feed->fd);
    feed->fd = -1;
  }
  for (pid_t pid : recorderPids_) terminate(pid);
  recorderPids_.clear();
  terminate(daemonPid_);
  daemonPid_ = -1;
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

std::map<std::string, std::optional<std::string>> PulseServer::clientEnvironment() const {
  return {{"PULSE_SERVER", address_}};
}

void PulseServer::exportToThisProcess() const { ::setenv("PULSE_SERVER", address_.c_str(), 1); }

std::string PulseServer::log() const { return readFile(directory_ / "daemon.log"); }

RunResult PulseServer::pactl(const std::vector<std::string>& arguments) const {
  std::vector<std::string> command{"/usr/bin/pactl"};
  command.insert(command.end(), arguments.begin(), arguments.end());
  return runProcess(command, clientEnvironment(), "", std::chrono::seconds(10));
}

std::vector<std::string> PulseServer::pactlLines(const std::vector<std::string>& arguments) const {
  auto result = pactl(arguments);
  if (result.status.code != 0) {
    std::ostringstream message;
    message << "pactl";
    for (const auto& a : arguments) message << ' ' << a;
    message << " failed:";
    for (const auto& line : result.stderrLines) message << '\n' << line;
    throw std::runtime_error(message.str());
  }
  return std::move(result.stdoutLines);
}

PulseServer::Feed& PulseServer::feedFor(const std::string& source) {
  for (auto& feed : feeds_) {
    if (feed->spec.name == source) return *feed;
  }
  throw std::runtime_error("no pipe source named " + source);
}

void PulseServer::feedBytes(const std::string& source, std::vector<std::byte> bytes) {
  Feed& feed = feedFor(source);
  if (bytes.size() % feed.spec.frameBytes() != 0) {
    throw std::runtime_error("audio for " + source + " is not whole frames");
  }
  if (bytes.empty()) return;
  std::lock_guard lock(mutex_);
  feed.queue.push_back(std::move(bytes));
}

void PulseServer::feedSamples(const std::string& source, std::span<const float> interleaved) {
  const Feed& feed = feedFor(source);
  std::vector<std::byte> bytes;
  if (feed.spec.format == PulseSampleFormat::kS16le) {
    bytes.resize(interleaved.size() * 2);
    for (std::size_t i = 0; i < interleaved.size(); ++i) {
      const float clipped = std::clamp(interleaved[i], -1.0f, 1.0f);
      const auto sample = static_cast<std::int16_t>(std::lround(clipped * 32767.0f));
      std::memcpy(bytes.data() + i * 2, &sample, 2);
    }
  } else {
    bytes.resize(interleaved.size() * 4);
    std::memcpy(bytes.data(), interleaved.data(), bytes.size());
  }
  feedBytes(source, std::move(bytes));
}

void PulseServer::feedTone(const std::string& source, double frequency, double seconds,
                           double amplitude) {
  const auto& spec = feedFor(source).spec;
  const auto frames = static_cast<std::size_t>(seconds * spec.rate);
  std::vector<float> samples(frames * static_cast<std::size_t>(spec.channels));
  for (std::size_t frame = 0; frame < frames; ++frame) {
    const double phase = 2 * std::numbers::pi * frequency * static_cast<double>(frame) / spec.rate;
    const auto value = static_cast<float>(amplitude * std::sin(phase));
    for (int channel = 0; channel < spec.channels; ++channel) {
      samples[frame * static_cast<std::size_t>(spec.channels) + static_cast<std::size_t>(channel)] =
          value;
    }
  }
  feedSamples(source, samples);
}

void PulseServer::feedFile(const std::string& source, const std::filesystem::path& path) {
  const auto& spec = feedFor(source).spec;
  const std::string file = readFile(path);
  if (file.empty()) throw std::runtime_error("cannot read " + path.string());
  std::string samples = samplesOf(file, spec, path);
  samples.resize(samples.size() - samples.size() % spec.frameBytes());
  std::vector<std::byte> bytes(samples.size());
  std::memcpy(bytes.data(), samples.data(), samples.size());
  feedBytes(source, std::move(bytes));
}

void PulseServer::clearFeed(const std::string& source) {
  Feed& feed = feedFor(source);
  std::lock_guard lock(mutex_);
  feed.queue.clear();
  feed.frontOffset = 0;
  fed_.notify_all();
}

bool PulseServer::queueEmpty(const Feed& feed) const { return feed.queue.empty(); }

bool PulseServer::waitUntilFed(const std::string& source, std::chrono::milliseconds timeout) {
  Feed& feed = feedFor(source);
  std::unique_lock lock(mutex_);
  return fed_.wait_for(lock, timeout, [&] { return stopping_ || queueEmpty(feed); }) &&
         queueEmpty(feed);
}

void PulseServer::feedLoop() {
  // A write to a FIFO whose reader has gone must fail with EPIPE here, not
  // end the test process.
  sigset_t pipeSignal;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  ::pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);

  std::unique_lock lock(mutex_);
  while (!stopping_) {
    const auto now = std::chrono::steady_clock::now();
    for (auto& feed : feeds_) feedOnce(*feed, now);
    fed_.notify_all();
    wake_.wait_for(lock, kFeedTick, [this] { return stopping_; });
  }
}

// Called with mutex_ held. Hands the FIFO what real time says is due: queued
// audio first, silence when nothing is queued.
void PulseServer::feedOnce(Feed& feed, std::chrono::steady_clock::time_point now) {
  if (feed.fd < 0) return;
  const std::size_t frameBytes = feed.spec.frameBytes();
  const double elapsed = std::chrono::duration<double>(now - feedStart_).count();
  const auto dueBytes =
      static_cast<std::uint64_t>(elapsed * feed.spec.rate) * static_cast<std::uint64_t>(frameBytes);
  const auto bytesPerSecond = static_cast<std::uint64_t>(feed.spec.rate) * frameBytes;
  const auto maxLag =
      static_cast<std::uint64_t>(kMaxLagSeconds * static_cast<double>(bytesPerSecond));
  const auto maxCarry =
      static_cast<std::uint64_t>(kMaxCarrySeconds * static_cast<double>(bytesPerSecond));

  std::uint64_t handedOver = feed.bytesWritten + feed.carry.size();
  if (dueBytes > handedOver + maxLag) {
    // The reader stalled for a while: start afresh rather than burst.
    feed.bytesWritten = dueBytes - feed.carry.size();
    handedOver = dueBytes;
  }
  if (dueBytes > handedOver && feed.carry.size() < maxCarry) {
    std::uint64_t need = std::min<std::uint64_t>(dueBytes - handedOver, maxCarry);
    need -= need % frameBytes;
    while (need > 0 && !feed.queue.empty()) {
      auto& front = feed.queue.front();
      const std::size_t take =
          std::min<std::size_t>(static_cast<std::size_t>(need), front.size() - feed.frontOffset);
      feed.carry.insert(feed.carry.end(),
                        front.begin() + static_cast<std::ptrdiff_t>(feed.frontOffset),
                        front.begin() + static_cast<std::ptrdiff_t>(feed.frontOffset + take));
      feed.frontOffset += take;
      need -= take;
      if (feed.frontOffset == front.size()) {
        feed.queue.pop_front();
        feed.frontOffset = 0;
      }
    }
    feed.carry.insert(feed.carry.end(), static_cast<std::size_t>(need), std::byte{0});
  }
  if (feed.carry.empty()) return;
  const ssize_t written = ::write(feed.fd, feed.carry.data(), feed.carry.size());
  if (written > 0) {
    feed.carry.erase(feed.carry.begin(), feed.carry.begin() + written);
    feed.bytesWritten += static_cast<std::uint64_t>(written);
  } else if (written < 0 && errno == EPIPE) {
    ::close(feed.fd);  // the daemon has gone
    feed.fd = -1;
  }
}

PulseServer& sharedPulseServer() {
  static PulseServer server;
  return server;
}

std::map<std::string, std::optional<std::string>> noPulseServerEnvironment() {
  return {{"PULSE_SERVER", kDeadPulseServer}};
}

}  // namespace tellwyn::testing
