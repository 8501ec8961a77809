#include "devices/device_list.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/audio_buffer_list.h"
#include "platform/fake/fake_audio_devices.h"
#include "support/output_capture.h"

namespace tellwyn {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr AudioStatus kFailure = 0x77686f3f;  // 'who?'

FakeAudioDevice mic(AudioObjectId id, std::string uid, std::string name,
                    std::vector<std::uint32_t> buffers = {1}) {
  return FakeAudioDevice{id, std::move(uid), std::move(name), std::move(buffers), std::nullopt};
}

// A buffer list whose count claims more buffers than its bytes hold.
std::vector<std::byte> truncatedList(std::uint32_t claimedCount,
                                     std::vector<std::uint32_t> presentChannels) {
  auto bytes = encodeAudioBufferList(presentChannels);
  std::memcpy(bytes.data(), &claimedCount, sizeof claimedCount);
  return bytes;
}

struct ListCase {
  const char* name;
  std::function<void(FakeAudioDeviceSystem&)> setup;
  std::vector<DeviceInfo> expected;
};

void PrintTo(const ListCase& c, std::ostream* os) { *os << c.name; }

class ListInputDevicesTest : public ::testing::TestWithParam<ListCase> {};

TEST_P(ListInputDevicesTest, ListsWhatTheSystemOffers) {
  FakeAudioDeviceSystem system;
  GetParam().setup(system);
  testing::OutputCapture capture;
  EXPECT_EQ(listInputDevices(system), GetParam().expected);
  // Nothing is logged and nothing is written, whatever failed.
  EXPECT_THAT(capture.stdoutText(), IsEmpty());
  EXPECT_THAT(capture.stderrText(), IsEmpty());
  EXPECT_THAT(system.writes(), IsEmpty());
}

const ListCase kListCases[] = {
    {"NoDevices", [](FakeAudioDeviceSystem&) {}, {}},
    {"ListSizeFails",
     [](FakeAudioDeviceSystem& s) {
       s.addDevice(mic(7, "a", "A"));
       s.failCall(FakeDeviceCall::kDeviceListSize, kFailure);
     },
     {}},
    {"ListReadFails",
     [](FakeAudioDeviceSystem& s) {
       s.addDevice(mic(7, "a", "A"));
       s.failCall(FakeDeviceCall::kReadDeviceList, kFailure);
     },
     {}},
    {"SizeBelowOneEntryGivesNone",
     [](FakeAudioDeviceSystem& s) {
       s.addDevice(mic(7, "a", "A"));
       s.reportDeviceListSize(3);
     },
     {}},
    {"SizeRoundedDown",
     [](FakeAudioDeviceSystem& s) {
       s.addDevice(mic(7, "a", "A"));
       s.addDevice(mic(8, "b", "B"));
       s.reportDeviceListSize(7);
     },
     {{"a", "A"}}},
    {"OutputOnlyDevicesLeftOut",
     [](FakeAudioDeviceSystem& s) {
       s.addDevice(mic(1, "speakers", "Speakers", {}));
       s.addDevice(mic(2, "hdmi", "HDMI", {0, 0}));
       s.addDevice(mic(3, "mic", "Mic", {1}));
     },
     {{"mic", "Mic"}}},
    {"SecondBufferWithChannelsCounts",
     [](FakeAudioDeviceSystem& s) {
       s.addDevice(mic(4, "usb", "USB", {0, 2}));
     },
     {{"usb", "USB"}}},
    {"TruncatedBufferListsWalkOnlyTheBytesPresent",
     [](FakeAudioDeviceSystem& s) {
       // Claims two buffers, holds one with 0 channels.
       s.addDevice({1, "short0", "Short 0", {}, truncatedList(2, {0})});
       // Claims two buffers, holds one with 2 channels.
       s.addDevice({2, "short2", "Short 2", {}, truncatedList(2, {2})});
       // A huge count over an empty list.
       s.addDevice({3, "huge", "Huge", {}, truncatedList(0xffffffff, {})});
       // Not even a whole count.
       s.addDevice({4, "tiny", "Tiny", {}, std::vector<std::byte>(3, std::byte{1})});
       // The header alone, without the padding after the count.
       s.addDevice({5, "header", "Header", {}, std::vector<std::byte>(4, std::byte{1})});
     },
     {{"short2", "Short 2"}}},
    {"UnreadablePropertiesLeaveOnlyThatDeviceOut",
     [](FakeAudioDeviceSystem& s) {
       for (AudioObjectId id = 1; id <= 9; ++id) {
         s.addDevice(mic(id, "uid" + std::to_string(id), "Name " + std::to_string(id)));
       }
       s.failCall(FakeDeviceCall::kInputStreamConfigurationSize, kFailure, 1);
       s.failCall(FakeDeviceCall::kReadInputStreamConfiguration, kFailure, 2);
       s.failCall(FakeDeviceCall::kUidSize, kFailure, 3);
       s.failCall(FakeDeviceCall::kReadUid, kFailure, 4);
       s.failCall(FakeDeviceCall::kNameSize, kFailure, 5);
       s.failCall(FakeDeviceCall::kReadName, kFailure, 6);
       s.addDevice({10, std::nullopt, "No UID", {1}, std::nullopt});
       s.addDevice({11, "noname", std::nullopt, {1}, std::nullopt});
     },
     {{"uid7", "Name 7"}, {"uid8", "Name 8"}, {"uid9", "Name 9"}}},
    {"OrderKeptDuplicatesAndEmptyTextsListed",
     [](FakeAudioDeviceSystem& s) {
       s.addDevice(mic(9, "z", "Same"));
       s.addDevice(mic(3, "a", "Same"));
       s.addDevice(mic(5, "z", "Other"));
       s.addDevice(mic(6, "", ""));
       s.setDefaultInput(5);
     },
     {{"z", "Same"}, {"a", "Same"}, {"z", "Other"}, {"", ""}}},
    {"UnfilledEntriesStayZeroAndAreLeftOut",
     [](FakeAudioDeviceSystem& s) {
       s.addDevice(mic(7, "a", "A"));
       s.addDevice(mic(8, "b", "B"));
       s.limitDeviceListRead(1);
     },
     {{"a", "A"}}},
};

INSTANTIATE_TEST_SUITE_P(Cases, ListInputDevicesTest, ::testing::ValuesIn(kListCases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(ListInputDevicesOrderTest, AFailedReadEndsThatDevicesReads) {
  FakeAudioDeviceSystem system;
  system.addDevice(mic(1, "out", "Out", {0}));
  system.addDevice(mic(2, "a", "A"));
  system.addDevice(mic(3, "b", "B"));
  system.failCall(FakeDeviceCall::kReadUid, kFailure, 2);
  system.limitDeviceListRead(3);
  system.reportDeviceListSize(16);  // four entries, the last unfilled

  EXPECT_THAT(listInputDevices(system), ElementsAre(DeviceInfo{"b", "B"}));
  EXPECT_THAT(system.calls(), ElementsAre("listSize", "list",            //
                                          "streamsSize 1", "streams 1",  // no input: no UID read
                                          "streamsSize 2", "streams 2", "uidSize 2",  //
                                          "uid 2",  // fails: no name read
                                          "streamsSize 3", "streams 3", "uidSize 3", "uid 3",
                                          "nameSize 3", "name 3",
                                          "streamsSize 0"));  // the unfilled entry fails at once
}

TEST(ReadDeviceListTest, GivesTheFailingStatusOrTheEntries) {
  FakeAudioDeviceSystem system;
  system.addDevice(mic(4, "a", "A"));
  system.addDevice(mic(2, "b", "B"));
  auto read = readDeviceList(system);
  EXPECT_EQ(read.status, kAudioNoError);
  EXPECT_THAT(read.devices, ElementsAre(4u, 2u));

  system.limitDeviceListRead(0);
  read = readDeviceList(system);
  EXPECT_EQ(read.status, kAudioNoError);
  EXPECT_THAT(read.devices, ElementsAre(0u, 0u));

  system.failCall(FakeDeviceCall::kReadDeviceList, kFailure);
  EXPECT_EQ(readDeviceList(system).status, kFailure);
  system.failCall(FakeDeviceCall::kDeviceListSize, kFailure - 1);
  EXPECT_EQ(readDeviceList(system).status, kFailure - 1);
}

TEST(ReadTextPropertyTest, AbsentOnAnyFailureOrMissingReference) {
  FakeAudioDeviceSystem system;
  system.addDevice({1, "uid", std::nullopt, {1}, std::nullopt});
  system.addDevice({2, "", "", {1}, std::nullopt});
  EXPECT_EQ(readTextProperty(system, 1, DeviceTextProperty::kUid), "uid");
  EXPECT_EQ(readTextProperty(system, 1, DeviceTextProperty::kName), std::nullopt);
  EXPECT_EQ(readTextProperty(system, 2, DeviceTextProperty::kName), "");
  EXPECT_EQ(readTextProperty(system, 0, DeviceTextProperty::kUid), std::nullopt);
  system.failCall(FakeDeviceCall::kReadUid, kFailure, 1);
  EXPECT_EQ(readTextProperty(system, 1, DeviceTextProperty::kUid), std::nullopt);
  EXPECT_EQ(readTextProperty(system, 2, DeviceTextProperty::kUid), "");
}

}  // namespace
}  // namespace tellwyn
