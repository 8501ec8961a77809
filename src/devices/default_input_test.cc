#include "devices/default_input.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <numeric>
#include <string>
#include <vector>

#include "platform/fake/fake_audio_devices.h"
#include "platform/fake/fake_main_queue.h"
#include "support/output_capture.h"

namespace tellwyn {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr AudioStatus kFailure = 0x6e6f7065;  // 'nope'

FakeAudioDevice device(AudioObjectId id, std::optional<std::string> uid,
                       std::vector<std::uint32_t> buffers = {1}) {
  return FakeAudioDevice{id, std::move(uid), "Device " + std::to_string(id), std::move(buffers),
                         std::nullopt};
}

const Error kNotFound{"AudioDeviceStatus", -1, "Input device not found"};

Error statusError(AudioStatus status) {
  return Error{"AudioDeviceStatus", status, "fake status " + std::to_string(status)};
}

struct SwitchCase {
  const char* name;
  std::function<void(FakeAudioDeviceSystem&)> setup;
  std::string uid;
  std::optional<Error> error;         // absent: success
  std::vector<AudioObjectId> writes;  // the writes made
};

void PrintTo(const SwitchCase& c, std::ostream* os) { *os << c.name; }

class SetDefaultInputDeviceTest : public ::testing::TestWithParam<SwitchCase> {};

TEST_P(SetDefaultInputDeviceTest, FindsByUidAndWritesOnce) {
  const auto& c = GetParam();
  FakeAudioDeviceSystem system;
  system.setDefaultInput(1);
  c.setup(system);
  testing::OutputCapture capture;
  const Status status = setDefaultInputDevice(system, c.uid);
  if (c.error) {
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error(), *c.error);
  } else {
    EXPECT_TRUE(status.ok()) << status.error().description;
  }
  EXPECT_EQ(system.writes(), c.writes);
  // It does not wait for the change and never reads the default input.
  EXPECT_EQ(system.defaultInputReads(), 0);
  EXPECT_THAT(capture.stderrText(), IsEmpty());
  EXPECT_THAT(capture.stdoutText(), IsEmpty());
}

// "é" precomposed and decomposed.
const std::string kPrecomposed = "mic-\xc3\xa9";
const std::string kDecomposed = "mic-e\xcc\x81";

const SwitchCase kSwitchCases[] = {
    {"Found",
     [](auto& s) { s.addDevice(device(1, "a")), s.addDevice(device(2, "b")); },
     "b",
     std::nullopt,
     {2}},
    {"AlreadyTheDefaultStillWrites",
     [](auto& s) { s.addDevice(device(1, "a")); },
     "a",
     std::nullopt,
     {1}},
    {"UnknownUid", [](auto& s) { s.addDevice(device(1, "a")); }, "zz", kNotFound, {}},
    {"EmptyList", [](auto&) {}, "a", kNotFound, {}},
    {"ListSizeFails",
     [](auto& s) {
       s.addDevice(device(1, "a"));
       s.failCall(FakeDeviceCall::kDeviceListSize, kFailure);
     },
     "a",
     statusError(kFailure),
     {}},
    {"ListReadFails",
     [](auto& s) {
       s.addDevice(device(1, "a"));
       s.failCall(FakeDeviceCall::kReadDeviceList, -50);
     },
     "a",
     statusError(-50),
     {}},
    {"WriteFails",
     [](auto& s) {
       s.addDevice(device(1, "a"));
       s.failCall(FakeDeviceCall::kWriteDefaultInput, kFailure);
     },
     "a",
     statusError(kFailure),
     {}},
    {"FirstOfTwoWithTheSameUid",
     [](auto& s) { s.addDevice(device(5, "dup")), s.addDevice(device(3, "dup")); },
     "dup",
     std::nullopt,
     {5}},
    {"LetterCaseCounts",
     [](auto& s) { s.addDevice(device(1, "BuiltInMic")); },
     "builtinmic",
     kNotFound,
     {}},
    {"CanonicallyEquivalentMatches",
     [](auto& s) { s.addDevice(device(4, kPrecomposed)); },
     kDecomposed,
     std::nullopt,
     {4}},
    {"CanonicallyEquivalentMatchesTheOtherWay",
     [](auto& s) { s.addDevice(device(4, kDecomposed)); },
     kPrecomposed,
     std::nullopt,
     {4}},
    {"DifferentMalformedBytesDoNotMatch",
     [](auto& s) { s.addDevice(device(4, "mic\xff")); },
     "mic\xfe",
     kNotFound,
     {}},
    {"EqualMalformedBytesMatch",
     [](auto& s) { s.addDevice(device(4, "mic\xff")); },
     "mic\xff",
     std::nullopt,
     {4}},
    {"UnreadableOrMissingUidsSkipped",
     [](auto& s) {
       s.addDevice(device(1, "x"));
       s.addDevice(device(2, std::nullopt));
       s.addDevice(device(3, "x"));
       s.failCall(FakeDeviceCall::kReadUid, kFailure, 1);
     },
     "x",
     std::nullopt,
     {3}},
    {"OutputOnlyDeviceTaken",
     [](auto& s) { s.addDevice(device(6, "hdmi", {})); },
     "hdmi",
     std::nullopt,
     {6}},
    {"OutputOnlyDeviceRefusedByTheSystem",
     [](auto& s) {
       s.addDevice(device(6, "hdmi", {}));
       s.failCall(FakeDeviceCall::kWriteDefaultInput, kFailure, 6);
     },
     "hdmi",
     statusError(kFailure),
     {}},
    {"UnfilledEntriesSkipped",
     [](auto& s) {
       s.addDevice(device(1, "a"));
       s.addDevice(device(2, "b"));
       s.limitDeviceListRead(1);
     },
     "b",
     kNotFound,
     {}},
    {"EmptyUidMatchesOnlyEmpty",
     [](auto& s) { s.addDevice(device(1, "")); },
     "",
     std::nullopt,
     {1}},
};

INSTANTIATE_TEST_SUITE_P(Cases, SetDefaultInputDeviceTest, ::testing::ValuesIn(kSwitchCases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(SetDefaultInputDeviceSearchTest, StopsAtTheFirstMatchAndWritesFourBytes) {
  FakeAudioDeviceSystem system;
  system.addDevice(device(1, "a"));
  system.addDevice(device(2, "b"));
  system.addDevice(device(3, "c"));
  ASSERT_TRUE(setDefaultInputDevice(system, "b").ok());
  // No input test is made, and device 3 is never asked.
  EXPECT_THAT(system.calls(), ElementsAre("listSize", "list", "uidSize 1", "uid 1", "uidSize 2",
                                          "uid 2", "writeDefault 2"));
}

struct SettleCase {
  const char* name;
  std::function<void(FakeAudioDeviceSystem&)> setup;
  std::string target;
  int checks;
  std::vector<std::string> debugLines;
  double totalSleep;
};

void PrintTo(const SettleCase& c, std::ostream* os) { *os << c.name; }

class StabilizeInputRouteTest : public ::testing::TestWithParam<SettleCase> {};

TEST_P(StabilizeInputRouteTest, PollsWithinItsBounds) {
  const auto& c = GetParam();
  FakeAudioDeviceSystem system;
  system.addDevice(device(1, "old"));
  system.addDevice(device(2, "new"));
  system.addDevice(device(3, kPrecomposed));
  system.setDefaultInput(1);
  c.setup(system);
  FakeSleeper sleeper;
  testing::OutputCapture capture;

  stabilizeInputRoute(system, sleeper, c.target);

  EXPECT_EQ(system.defaultInputReads(), c.checks);
  EXPECT_EQ(capture.stderrLines(), c.debugLines);
  EXPECT_THAT(capture.stdoutText(), IsEmpty());
  EXPECT_NEAR(sleeper.total(), c.totalSleep, 1e-9);
  // Pauses of 0.05 s after each check that missed, then one of 0.15 s.
  ASSERT_FALSE(sleeper.sleeps().empty());
  EXPECT_DOUBLE_EQ(sleeper.sleeps().back(), 0.15);
  for (std::size_t i = 0; i + 1 < sleeper.sleeps().size(); ++i) {
    EXPECT_DOUBLE_EQ(sleeper.sleeps()[i], 0.05);
  }
  // The wait only reads.
  EXPECT_THAT(system.writes(), IsEmpty());
}

const SettleCase kSettleCases[] = {
    {"AlreadySettled", [](auto& s) { s.setDefaultInput(2); }, "new", 1, {}, 0.15},
    {"SettlesAtTheFourthCheck",
     [](auto& s) { s.switchDefaultInputAfter(3, 2); },
     "new",
     4,
     {"debug: input route settled attempts=4"},
     0.30},
    {"SettlesAtTheLastCheck",
     [](auto& s) { s.switchDefaultInputAfter(11, 2); },
     "new",
     12,
     {"debug: input route settled attempts=12"},
     0.70},
    {"NeverSettles",
     [](auto&) {},
     "new",
     12,
     {
         "debug: input route settle timeout target=new",
     },
     0.75},
    {"DefaultUnreadable",
     [](auto& s) {
       s.setDefaultInput(2);
       s.failCall(FakeDeviceCall::kReadDefaultInput, kFailure);
     },
     "new",
     12,
     {"debug: input route settle timeout target=new"},
     0.75},
    {"DefaultUidUnreadableUntilItIsNot",
     [](auto& s) {
       s.setDefaultInput(0);
       s.switchDefaultInputAfter(1, 2);
     },
     "new",
     2,
     {"debug: input route settled attempts=2"},
     0.20},
    {"LetterCaseCounts",
     [](auto& s) { s.setDefaultInput(2); },
     "NEW",
     12,
     {"debug: input route settle timeout target=NEW"},
     0.75},
    {"CanonicallyEquivalent", [](auto& s) { s.setDefaultInput(3); }, kDecomposed, 1, {}, 0.15},
};

INSTANTIATE_TEST_SUITE_P(Cases, StabilizeInputRouteTest, ::testing::ValuesIn(kSettleCases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(SwitchAndSettleTest, AWriteThatShowsLateIsWaitedFor) {
  FakeAudioDeviceSystem system;
  system.addDevice(device(1, "old"));
  system.addDevice(device(2, "new"));
  system.setDefaultInput(1);
  system.setWriteDelay(2);
  FakeSleeper sleeper;
  testing::OutputCapture capture;

  ASSERT_TRUE(setDefaultInputDevice(system, "new").ok());
  stabilizeInputRoute(system, sleeper, "new");
  EXPECT_EQ(currentDefaultInputDeviceUID(system), "new");
  EXPECT_THAT(capture.stderrLines(), ElementsAre("debug: input route settled attempts=3"));
  EXPECT_NEAR(sleeper.total(), 0.25, 1e-9);
}

TEST(CurrentDefaultInputDeviceUidTest, AbsentOnEveryFailure) {
  FakeAudioDeviceSystem system;
  system.addDevice(device(1, "a"));
  system.addDevice(device(2, std::nullopt));
  system.setDefaultInput(1);
  EXPECT_EQ(currentDefaultInputDeviceUID(system), "a");
  system.setDefaultInput(2);
  EXPECT_EQ(currentDefaultInputDeviceUID(system), std::nullopt);  // no reference
  system.setDefaultInput(0);
  EXPECT_EQ(currentDefaultInputDeviceUID(system), std::nullopt);  // no device
  system.setDefaultInput(1);
  system.failCall(FakeDeviceCall::kReadUid, kFailure, 1);
  EXPECT_EQ(currentDefaultInputDeviceUID(system), std::nullopt);
  system.clearFailures();
  system.failCall(FakeDeviceCall::kReadDefaultInput, kFailure);
  EXPECT_EQ(currentDefaultInputDeviceUID(system), std::nullopt);
  EXPECT_THAT(system.writes(), IsEmpty());
}

}  // namespace
}  // namespace tellwyn
