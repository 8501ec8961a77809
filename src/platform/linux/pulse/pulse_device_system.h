#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/audio_devices.h"
#include "platform/termination_watch.h"

namespace tellwyn {

// The audio device system on a PulseAudio (or PipeWire-Pulse) server. The
// devices are the server's capture sources, monitors included, in source
// index order; a device's identifier is its source index + 1 (so 0 stays "no
// object"), its UID the source name, its name the source description, and its
// input stream configuration one buffer with the source's channel count. The
// default input is the server's default source.
//
// Text property sizes are the byte length of the text; a text read returns
// the whole current text whatever size it is given.
//
// The connection (a PulseClient, never spawning a server; the server is
// found as libpulse finds it: PULSE_SERVER, client.conf, XDG_RUNTIME_DIR) is
// opened on first use on a private, synchronously iterated main loop and
// closed by the destructor. The device list size query asks the server for
// every source at once; the list read and the per-device reads that follow
// it are answered from that answer, until the next size query. The default
// input is read afresh every time, on a short connection of its own. Each
// step has a deadline; once connecting fails, an operation times out or the
// connection breaks, every later call fails at once with that status, so a
// missing or stuck server costs at most about one deadline in all. With a
// termination watch, a termination request during a step hands the process
// over to the termination handler. Statuses are libpulse error numbers.
// Main thread (or any one thread at a time).
class PulseDeviceSystem : public AudioDeviceSystem {
 public:
  struct Options {
    // The server to use; absent: libpulse's own choice.
    std::optional<std::string> server;
    std::chrono::milliseconds connectTimeout{1000};
    std::chrono::milliseconds operationTimeout{1000};
  };

  PulseDeviceSystem();
  explicit PulseDeviceSystem(Options options, TerminationWatch* termination = nullptr);
  ~PulseDeviceSystem() override;
  PulseDeviceSystem(const PulseDeviceSystem&) = delete;
  PulseDeviceSystem& operator=(const PulseDeviceSystem&) = delete;

  AudioStatus deviceListSize(std::uint32_t& outBytes) override;
  AudioStatus readDeviceList(std::uint32_t& ioBytes, std::span<AudioObjectId> out) override;
  AudioStatus inputStreamConfigurationSize(AudioObjectId device, std::uint32_t& outBytes) override;
  AudioStatus readInputStreamConfiguration(AudioObjectId device, std::uint32_t& ioBytes,
                                           std::span<std::byte> out) override;
  AudioStatus textPropertySize(AudioObjectId device, DeviceTextProperty property,
                               std::uint32_t& outBytes) override;
  AudioStatus readTextProperty(AudioObjectId device, DeviceTextProperty property,
                               std::uint32_t& ioBytes, std::optional<std::string>& out) override;
  AudioStatus readDefaultInputDevice(std::uint32_t& ioBytes, AudioObjectId& out) override;
  AudioStatus writeDefaultInputDevice(std::uint32_t bytes, AudioObjectId device) override;
  // libpulse's text for the error number.
  std::string describeStatus(AudioStatus status) override;

 private:
  class Connection;
  std::unique_ptr<Connection> connection_;
};

// A PulseDeviceSystem with libpulse's choice of server.
std::unique_ptr<AudioDeviceSystem> makePulseDeviceSystem(TerminationWatch* termination = nullptr);

}  // namespace tellwyn
