#include "support/pulse_server.h"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <fstream>
#include <numbers>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/temp_files.h"

namespace tellwyn::testing {
namespace {

static_assert(std::endian::native == std::endian::little,
              "the pipe sources take little-endian samples");

constexpr auto kQueuePoll = std::chrono::milliseconds(20);

const char* formatName(PulseSampleFormat format) {
  return format == PulseSampleFormat::kS16le ? "s16le" : "float32le";
}

std::filesystem::path scriptPath() {
  return std::filesystem::path(TELLWYN_SOURCE_DIR) / "scripts" / "pulse-server";
}

// The sources as scripts/pulse-server takes them.
std::string sourcesArgument(const std::vector<PipeSourceSpec>& sources) {
  std::string text;
  for (const auto& spec : sources) {
    if (!text.empty()) text += ';';
    text += spec.name + '|' + spec.description + '|' + formatName(spec.format) + '|' +
            std::to_string(spec.rate) + '|' + std::to_string(spec.channels);
  }
  return text;
}

std::string describe(const RunResult& result) {
  std::string text;
  for (const auto& line : result.stdoutLines) text += line + "\n";
  for (const auto& line : result.stderrLines) text += line + "\n";
  if (result.status.timedOut) text += "(timed out)\n";
  return text;
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

const char* kindName(PulseServerKind kind) {
  return kind == PulseServerKind::kPipeWire ? "pipewire" : "pulseaudio";
}

std::string serverKindTestName(const ::testing::TestParamInfo<PulseServerKind>& info) {
  return kindName(info.param);
}

PulseServer::PulseServer(PulseServerOptions options) : options_(std::move(options)) {
  std::string pattern = "/tmp/tellwyn-pulse.XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
  }
  directory_ = pattern;
  address_ = "unix:" + (directory_ / "pulse" / "native").string();
  std::vector<std::string> arguments = {"start", directory_.string(),
                                        std::string("--kind=") + kindName(options_.kind),
                                        "--owner=" + std::to_string(::getpid())};
  if (!options_.attachRecorders) arguments.push_back("--no-recorders");
  const auto result = runScript(arguments, options_.startTimeout);
  if (result.status.code != 0) {
    const std::string message =
        std::string(kindName(options_.kind)) + " did not start:\n" + describe(result) + log();
    stop();  // whatever the script started before it failed or was killed
    throw std::runtime_error(message);
  }
  std::ifstream(directory_ / "server.pid") >> serverPid_;
}

PulseServer::~PulseServer() { stop(); }

void PulseServer::stop() {
  runScript({"stop", directory_.string()}, std::chrono::seconds(60));
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

RunResult PulseServer::runScript(const std::vector<std::string>& arguments,
                                 std::chrono::milliseconds timeout) const {
  std::vector<std::string> command = {scriptPath().string()};
  command.insert(command.end(), arguments.begin(), arguments.end());
  return runProcess(command,
                    {{"TELLWYN_PULSE_SOURCES", sourcesArgument(options_.sources)},
                     {"TELLWYN_PULSE_DIR", directory_.string()}},
                    "", timeout);
}

std::map<std::string, std::optional<std::string>> PulseServer::clientEnvironment() const {
  return {{"PULSE_SERVER", address_}};
}

void PulseServer::exportToThisProcess() const { ::setenv("PULSE_SERVER", address_.c_str(), 1); }

std::string PulseServer::log() const {
  std::string text;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(directory_, error)) {
    if (entry.path().extension() != ".log") continue;
    text += "== " + entry.path().filename().string() + "\n" + readFile(entry.path());
  }
  return text;
}

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

bool PulseServer::unloadSource(const std::string& source) const {
  for (const auto& line : pactlLines({"list", "short", "modules"})) {
    if (line.find("module-pipe-source") != std::string::npos &&
        line.find("source_name=" + source + " ") != std::string::npos) {
      return pactl({"unload-module", line.substr(0, line.find('\t'))}).status.code == 0;
    }
  }
  return false;
}

const PipeSourceSpec& PulseServer::specFor(const std::string& source) const {
  for (const auto& spec : options_.sources) {
    if (spec.name == source) return spec;
  }
  throw std::runtime_error("no pipe source named " + source);
}

std::filesystem::path PulseServer::queueOf(const std::string& source) const {
  specFor(source);
  return directory_ / "queue" / source;
}

void PulseServer::feedBytes(const std::string& source, std::vector<std::byte> bytes) {
  const auto& spec = specFor(source);
  if (bytes.size() % spec.frameBytes() != 0) {
    throw std::runtime_error("audio for " + source + " is not whole frames");
  }
  if (bytes.empty()) return;
  // The feeder plays queued files in name order; names are nanosecond times,
  // as the script's own feed command makes them, strictly increasing here.
  std::int64_t name = 0;
  {
    std::lock_guard lock(mutex_);
    const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    lastQueueName_ = std::max<std::int64_t>(now, lastQueueName_ + 1);
    name = lastQueueName_;
  }
  const auto part = queueOf(source) / (std::to_string(name) + ".part");
  {
    std::ofstream out(part, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot queue audio for " + source);
  }
  std::filesystem::rename(part, queueOf(source) / (std::to_string(name) + ".pcm"));
}

void PulseServer::feedSamples(const std::string& source, std::span<const float> interleaved) {
  const auto& spec = specFor(source);
  std::vector<std::byte> bytes;
  if (spec.format == PulseSampleFormat::kS16le) {
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
  const auto& spec = specFor(source);
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
  const auto& spec = specFor(source);
  const std::string file = readFile(path);
  if (file.empty()) throw std::runtime_error("cannot read " + path.string());
  std::string samples = samplesOf(file, spec, path);
  samples.resize(samples.size() - samples.size() % spec.frameBytes());
  std::vector<std::byte> bytes(samples.size());
  std::memcpy(bytes.data(), samples.data(), samples.size());
  feedBytes(source, std::move(bytes));
}

void PulseServer::clearFeed(const std::string& source) {
  const auto result = runScript({"clear", source}, std::chrono::seconds(10));
  if (result.status.code != 0) {
    throw std::runtime_error("cannot clear the feed of " + source + ":\n" + describe(result));
  }
}

bool PulseServer::waitUntilFed(const std::string& source, std::chrono::milliseconds timeout) {
  const auto queue = queueOf(source);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    bool queued = false;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(queue, error)) {
      if (entry.path().extension() == ".pcm") queued = true;
    }
    if (!queued) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kQueuePoll);
  }
}

PulseServer& sharedPulseServer(PulseServerKind kind) {
  if (kind == PulseServerKind::kPipeWire) {
    static PulseServer pipeWire({.kind = PulseServerKind::kPipeWire});
    return pipeWire;
  }
  static PulseServer pulseAudio;
  return pulseAudio;
}

std::map<std::string, std::optional<std::string>> noPulseServerEnvironment() {
  return {{"PULSE_SERVER", kDeadPulseServer}};
}

}  // namespace tellwyn::testing
