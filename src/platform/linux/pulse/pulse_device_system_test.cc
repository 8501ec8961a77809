// The device system against a private PulseAudio daemon, and without one.
#include "platform/linux/pulse/pulse_device_system.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pulse/def.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/audio_buffer_list.h"
#include "support/output_capture.h"
#include "support/pulse_server.h"
#include "support/scoped_environment.h"

namespace tellwyn {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using testing::PulseServer;
using testing::sharedPulseServer;

struct SourceRow {
  AudioObjectId id;
  std::string name;
};

// `pactl list short sources`: index and name of each source.
std::vector<SourceRow> pactlSources(const PulseServer& server) {
  std::vector<SourceRow> rows;
  for (const auto& line : server.pactlLines({"list", "short", "sources"})) {
    std::istringstream fields(line);
    std::uint32_t index = 0;
    std::string name;
    fields >> index >> name;
    rows.push_back({index + 1, name});
  }
  return rows;
}

// The descriptions in `pactl list sources`, in order.
std::vector<std::string> pactlDescriptions(const PulseServer& server) {
  std::vector<std::string> descriptions;
  for (const auto& line : server.pactlLines({"list", "sources"})) {
    const auto at = line.find("Description: ");
    if (at != std::string::npos) descriptions.push_back(line.substr(at + 13));
  }
  return descriptions;
}

std::vector<AudioObjectId> deviceList(AudioDeviceSystem& system) {
  std::uint32_t size = 0;
  EXPECT_EQ(system.deviceListSize(size), kAudioNoError);
  std::vector<AudioObjectId> ids(size / 4);
  std::uint32_t io = size;
  EXPECT_EQ(system.readDeviceList(io, ids), kAudioNoError);
  EXPECT_EQ(io, size);
  return ids;
}

std::optional<std::string> text(AudioDeviceSystem& system, AudioObjectId id,
                                DeviceTextProperty property) {
  std::uint32_t size = 0;
  std::optional<std::string> out;
  if (system.textPropertySize(id, property, size) != kAudioNoError) return std::nullopt;
  EXPECT_EQ(system.readTextProperty(id, property, size, out), kAudioNoError);
  EXPECT_EQ(size, out ? out->size() : 0);
  return out;
}

std::vector<std::byte> streams(AudioDeviceSystem& system, AudioObjectId id) {
  std::uint32_t size = 0;
  EXPECT_EQ(system.inputStreamConfigurationSize(id, size), kAudioNoError);
  std::vector<std::byte> bytes(size);
  std::uint32_t io = size;
  EXPECT_EQ(system.readInputStreamConfiguration(id, io, bytes), kAudioNoError);
  EXPECT_EQ(io, size);
  return bytes;
}

PulseDeviceSystem systemFor(const PulseServer& server) {
  return PulseDeviceSystem({.server = server.serverAddress(),
                            .connectTimeout = std::chrono::seconds(5),
                            .operationTimeout = std::chrono::seconds(5)});
}

TEST(PulseDeviceSystemTest, DevicesAreTheSourcesInIndexOrder) {
  auto& server = sharedPulseServer();
  testing::OutputCapture capture;
  auto system = systemFor(server);

  const auto rows = pactlSources(server);
  ASSERT_EQ(rows.size(), 3u);
  const auto ids = deviceList(system);
  std::vector<AudioObjectId> expectedIds;
  std::vector<std::string> uids, names;
  for (const auto& row : rows) expectedIds.push_back(row.id);
  EXPECT_EQ(ids, expectedIds);
  for (const auto id : ids) {
    uids.push_back(text(system, id, DeviceTextProperty::kUid).value_or("<absent>"));
    names.push_back(text(system, id, DeviceTextProperty::kName).value_or("<absent>"));
  }
  EXPECT_THAT(uids, ElementsAre("tellwyn_null.monitor", "tellwyn_mono16", "tellwyn_stereo48"));
  EXPECT_THAT(names, ElementsAreArray(pactlDescriptions(server)));
  EXPECT_EQ(names[1], "Tellwyn Test Mono");

  // One buffer with the source's channel count: monitor 2, mono 1, stereo 2.
  std::vector<std::uint32_t> channels;
  for (const auto id : ids) {
    const auto bytes = streams(system, id);
    ASSERT_EQ(bytes.size(), kAudioBufferListHeaderBytes + kAudioBufferEntryBytes);
    EXPECT_TRUE(audioBufferListHasInputChannels(bytes));
    std::uint32_t count = 0, channelCount = 0;
    std::memcpy(&count, bytes.data(), 4);
    std::memcpy(&channelCount, bytes.data() + kAudioBufferListHeaderBytes, 4);
    EXPECT_EQ(count, 1u);
    channels.push_back(channelCount);
  }
  EXPECT_THAT(channels, ElementsAre(2u, 1u, 2u));

  // A short read fills only what fits.
  std::vector<AudioObjectId> one(1);
  std::uint32_t io = 4;
  EXPECT_EQ(system.readDeviceList(io, one), kAudioNoError);
  EXPECT_EQ(io, 4u);
  EXPECT_EQ(one[0], ids[0]);

  EXPECT_THAT(capture.stdoutText(), IsEmpty());
  EXPECT_THAT(capture.stderrText(), IsEmpty());
}

TEST(PulseDeviceSystemTest, EveryListingAsksTheServerAfresh) {
  auto& server = sharedPulseServer();
  auto system = systemFor(server);
  const auto before = deviceList(system);

  // A source that appears between a listing's size query and its list read
  // is not in that listing: its reads agree with its size query.
  std::uint32_t size = 0;
  ASSERT_EQ(system.deviceListSize(size), kAudioNoError);
  const auto module = server.pactlLines(
      {"load-module", "module-null-source", "source_name=tellwyn_late", "description=Late"});
  ASSERT_EQ(module.size(), 1u);
  std::vector<AudioObjectId> ids(before.size() + 1);
  std::uint32_t io = static_cast<std::uint32_t>(ids.size() * 4);
  ASSERT_EQ(system.readDeviceList(io, ids), kAudioNoError);
  EXPECT_EQ(io, before.size() * 4);

  // The next listing finds it.
  const auto after = deviceList(system);
  ASSERT_EQ(after.size(), before.size() + 1);
  EXPECT_EQ(text(system, after.back(), DeviceTextProperty::kUid), "tellwyn_late");
  EXPECT_EQ(text(system, after.back(), DeviceTextProperty::kName), "Late");

  // The default input is read afresh every time.
  ASSERT_EQ(server.pactl({"set-default-source", "tellwyn_late"}).status.code, 0);
  AudioObjectId current = kAudioObjectUnknown;
  io = 4;
  ASSERT_EQ(system.readDefaultInputDevice(io, current), kAudioNoError);
  EXPECT_EQ(current, after.back());

  server.pactlLines({"unload-module", module[0]});
  // Gone again: the next listing lacks it, and its reads now fail.
  EXPECT_EQ(deviceList(system), before);
  EXPECT_EQ(system.textPropertySize(after.back(), DeviceTextProperty::kUid, size), PA_ERR_NOENTITY);
}

TEST(PulseDeviceSystemTest, WritesAndReadsTheDefaultSource) {
  auto& server = sharedPulseServer();
  auto system = systemFor(server);
  const auto rows = pactlSources(server);
  ASSERT_EQ(rows.size(), 3u);

  for (const auto& row : {rows[2], rows[0], rows[1]}) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(system.writeDefaultInputDevice(4, row.id), kAudioNoError);
    EXPECT_THAT(server.pactlLines({"get-default-source"}), ElementsAre(row.name));
    AudioObjectId current = 0;
    std::uint32_t io = 4;
    EXPECT_EQ(system.readDefaultInputDevice(io, current), kAudioNoError);
    EXPECT_EQ(current, row.id);
    EXPECT_EQ(io, 4u);
  }

  // No object, a vanished index and a wrong size fail without a change.
  EXPECT_EQ(system.writeDefaultInputDevice(4, 0), PA_ERR_NOENTITY);
  EXPECT_EQ(system.writeDefaultInputDevice(4, 4000), PA_ERR_NOENTITY);
  EXPECT_EQ(system.writeDefaultInputDevice(2, rows[2].id), PA_ERR_INVALID);
  AudioObjectId current = 0;
  std::uint32_t small = 2;
  EXPECT_EQ(system.readDefaultInputDevice(small, current), PA_ERR_INVALID);
  EXPECT_THAT(server.pactlLines({"get-default-source"}), ElementsAre(rows[1].name));
  EXPECT_EQ(system.describeStatus(PA_ERR_NOENTITY), "No such entity");
}

void expectEveryCallFails(AudioDeviceSystem& system, AudioStatus expected) {
  std::uint32_t size = 0;
  EXPECT_EQ(system.deviceListSize(size), expected);
  std::vector<AudioObjectId> ids(2);
  std::uint32_t io = 8;
  EXPECT_EQ(system.readDeviceList(io, ids), expected);
  EXPECT_EQ(system.inputStreamConfigurationSize(1, size), expected);
  std::optional<std::string> out;
  EXPECT_EQ(system.readTextProperty(1, DeviceTextProperty::kUid, size, out), expected);
  AudioObjectId current = 0;
  io = 4;
  EXPECT_EQ(system.readDefaultInputDevice(io, current), expected);
  EXPECT_EQ(system.writeDefaultInputDevice(4, 1), expected);
  EXPECT_FALSE(system.describeStatus(expected).empty());
}

TEST(PulseDeviceSystemTest, WithoutAServerEveryCallFailsSilently) {
  testing::OutputCapture capture;
  {
    testing::ScopedEnvironmentVariable server("PULSE_SERVER", testing::kDeadPulseServer);
    const auto system = makePulseDeviceSystem();
    std::uint32_t size = 0;
    const AudioStatus status = system->deviceListSize(size);
    EXPECT_NE(status, kAudioNoError);
    expectEveryCallFails(*system, status);
  }
  EXPECT_THAT(capture.stdoutText(), IsEmpty());
  EXPECT_THAT(capture.stderrText(), IsEmpty());
}

// A socket that accepts connections (in its backlog) but never speaks.
class MuteServer {
 public:
  MuteServer() {
    if (::mkdtemp(directory_) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = std::string(directory_) + "/native";
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 8) != 0) {
      throw std::runtime_error("cannot listen on " + path_);
    }
  }
  ~MuteServer() {
    ::close(listener_);
    ::unlink(path_.c_str());
    ::rmdir(directory_);
  }
  MuteServer(const MuteServer&) = delete;
  MuteServer& operator=(const MuteServer&) = delete;

  std::string address() const { return "unix:" + path_; }
  // Accepts and closes what is waiting; how many there were.
  int takeConnections() {
    int connections = 0;
    for (int fd; (fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
      ::close(fd);
      ++connections;
    }
    return connections;
  }

 private:
  char directory_[32] = "/tmp/tellwyn-mute.XXXXXX";
  std::string path_;
  int listener_ = -1;
};

TEST(PulseDeviceSystemTest, AServerThatNeverAnswersCostsOneDeadline) {
  MuteServer mute;
  testing::OutputCapture capture;
  PulseDeviceSystem system({.server = mute.address(),
                            .connectTimeout = std::chrono::milliseconds(300),
                            .operationTimeout = std::chrono::milliseconds(300)});
  expectEveryCallFails(system, PA_ERR_TIMEOUT);
  // One connection attempt and one deadline, not one per call: the calls
  // after the first fail at once.
  EXPECT_EQ(mute.takeConnections(), 1);
  EXPECT_THAT(capture.stderrText(), IsEmpty());
}

TEST(PulseDeviceSystemTest, ATerminationRequestEndsAStuckStepAndHandsOver) {
  MuteServer mute;
  TerminationWatch termination;
  int handedOver = 0;
  termination.setHandler([&] { ++handedOver; });
  PulseDeviceSystem system({.server = mute.address(),
                            .connectTimeout = std::chrono::seconds(60),
                            .operationTimeout = std::chrono::seconds(60)},
                           &termination);
  std::thread requester([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    termination.request();
  });
  const auto began = std::chrono::steady_clock::now();
  std::uint32_t size = 0;
  const AudioStatus status = system.deviceListSize(size);
  const auto took = std::chrono::steady_clock::now() - began;
  requester.join();
  EXPECT_NE(status, kAudioNoError);
  EXPECT_EQ(handedOver, 1);
  EXPECT_LT(took, std::chrono::seconds(10));
  // Later calls fail at once, and hand over no more.
  expectEveryCallFails(system, status);
  EXPECT_EQ(handedOver, 1);
}

}  // namespace
}  // namespace tellwyn
