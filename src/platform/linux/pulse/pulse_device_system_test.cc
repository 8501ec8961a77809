// The device system against a private PulseAudio daemon, and without one.
#include "platform/linux/pulse/pulse_device_system.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pulse/def.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <sstream>

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

TEST(PulseDeviceSystemTest, EveryReadAsksTheServerAfresh) {
  auto& server = sharedPulseServer();
  auto system = systemFor(server);
  const auto before = deviceList(system);
  const auto module = server.pactlLines(
      {"load-module", "module-null-source", "source_name=tellwyn_late", "description=Late"});
  ASSERT_EQ(module.size(), 1u);
  const auto after = deviceList(system);
  ASSERT_EQ(after.size(), before.size() + 1);
  EXPECT_EQ(text(system, after.back(), DeviceTextProperty::kUid), "tellwyn_late");
  EXPECT_EQ(text(system, after.back(), DeviceTextProperty::kName), "Late");
  server.pactlLines({"unload-module", module[0]});
  // Gone again: its reads now fail.
  std::uint32_t size = 0;
  EXPECT_EQ(system.textPropertySize(after.back(), DeviceTextProperty::kUid, size), PA_ERR_NOENTITY);
  EXPECT_EQ(deviceList(system), before);
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

TEST(PulseDeviceSystemTest, AServerThatNeverAnswersCostsOneDeadline) {
  // A socket that accepts connections (in its backlog) but never speaks.
  char directory[] = "/tmp/tellwyn-mute.XXXXXX";
  ASSERT_NE(::mkdtemp(directory), nullptr);
  const std::string path = std::string(directory) + "/native";
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 8), 0);

  testing::OutputCapture capture;
  PulseDeviceSystem system({.server = "unix:" + path,
                            .connectTimeout = std::chrono::milliseconds(300),
                            .operationTimeout = std::chrono::milliseconds(300)});
  expectEveryCallFails(system, PA_ERR_TIMEOUT);
  // One connection attempt and one deadline, not one per call: the calls
  // after the first fail at once.
  int connections = 0;
  for (int fd; (fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
    ::close(fd);
    ++connections;
  }
  EXPECT_EQ(connections, 1);
  EXPECT_THAT(capture.stderrText(), IsEmpty());

  ::close(listener);
  ::unlink(path.c_str());
  ::rmdir(directory);
}

}  // namespace
}  // namespace tellwyn
