// Switching the default input by UID and waiting for the route, on the real
// device system against the private sound server.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pulse/def.h>

#include "devices/default_input.h"
#include "platform/fake/fake_main_queue.h"
#include "platform/linux/pulse/pulse_device_system.h"
#include "support/output_capture.h"
#include "support/pulse_server.h"

namespace tellwyn {
namespace {

using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

class PulseDefaultInputOnBothServersTest
    : public ::testing::TestWithParam<testing::PulseServerKind> {};

TEST_P(PulseDefaultInputOnBothServersTest, SwitchesSettlesAndRefusesUnknownUids) {
  auto& server = testing::sharedPulseServer(GetParam());
  PulseDeviceSystem system({.server = server.serverAddress(),
                            .connectTimeout = std::chrono::seconds(5),
                            .operationTimeout = std::chrono::seconds(5)});
  testing::OutputCapture capture;
  FakeSleeper sleeper;

  ASSERT_TRUE(setDefaultInputDevice(system, testing::kStereo48Source).ok());
  EXPECT_THAT(server.pactlLines({"get-default-source"}), ElementsAre(testing::kStereo48Source));
  stabilizeInputRoute(system, sleeper, testing::kStereo48Source);
  if (GetParam() == testing::PulseServerKind::kPulseAudio) {
    // PulseAudio applies the switch before it answers: settled at the first
    // check, so no debug line and only the final pause.
    EXPECT_DOUBLE_EQ(sleeper.total(), 0.15);
    EXPECT_THAT(capture.stderrText(), IsEmpty());
  } else {
    // PipeWire's session manager applies it a moment later: settled, maybe
    // after a few checks, well within the deadline.
    EXPECT_THAT(capture.stderrLines(),
                Each(::testing::StartsWith("debug: input route settled attempts=")));
    EXPECT_LT(sleeper.total(), 1.0);
  }
  EXPECT_EQ(currentDefaultInputDeviceUID(system), testing::kStereo48Source);

  for (const char* uid : {"tellwyn_nothing", "TELLWYN_MONO16", ""}) {
    const Status status = setDefaultInputDevice(system, uid);
    ASSERT_FALSE(status.ok()) << uid;
    EXPECT_EQ(status.error().code, -1);
    EXPECT_EQ(status.error().description, "Input device not found");
  }
  EXPECT_THAT(server.pactlLines({"get-default-source"}), ElementsAre(testing::kStereo48Source));

  // Monitors are devices like any other.
  ASSERT_TRUE(setDefaultInputDevice(system, "tellwyn_null.monitor").ok());
  stabilizeInputRoute(system, sleeper, "tellwyn_null.monitor");
  EXPECT_EQ(currentDefaultInputDeviceUID(system), "tellwyn_null.monitor");

  ASSERT_TRUE(setDefaultInputDevice(system, testing::kMono16Source).ok());
  EXPECT_THAT(server.pactlLines({"get-default-source"}), ElementsAre(testing::kMono16Source));
  EXPECT_THAT(capture.stdoutText(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(BothServers, PulseDefaultInputOnBothServersTest,
                         ::testing::ValuesIn(testing::kBothServerKinds),
                         testing::serverKindTestName);

TEST(PulseDefaultInputTest, WithoutAServerTheSwitchFailsWithTheServersReason) {
  PulseDeviceSystem system({.server = testing::kDeadPulseServer});
  const Status status = setDefaultInputDevice(system, testing::kMono16Source);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().code, PA_ERR_CONNECTIONREFUSED);
  EXPECT_EQ(status.error().description, "Connection refused");
  EXPECT_EQ(currentDefaultInputDeviceUID(system), std::nullopt);
}

}  // namespace
}  // namespace tellwyn
