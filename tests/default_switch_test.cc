// The default switch of the real executable, on both servers: --device-id
// makes the chosen source the server's default before capture starts, and
// an unknown one ends the start with "Input device not found".
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/pulse_server.h"
#include "support/tellwyn_process.h"

namespace tellwyn {
namespace {

using namespace std::chrono_literals;
using namespace ::tellwyn::testing;
using ::testing::Contains;
using ::testing::ElementsAre;

class DefaultSwitchTest : public ::testing::TestWithParam<PulseServerKind> {
 protected:
  void TearDown() override { server().pactl({"set-default-source", kMono16Source}); }
  PulseServer& server() const { return sharedPulseServer(GetParam()); }
};

TEST_P(DefaultSwitchTest, TheChosenSourceBecomesTheDefaultAndIsCaptured) {
  for (const char* source : {kStereo48Source, "tellwyn_null.monitor", kMono16Source}) {
    SCOPED_TRACE(source);
    auto child = startTellwyn(server(), source, {"--silence-ms=800"});
    ASSERT_TRUE(waitForCaptureSetUp(*child)) << describeOutput(*child);
    EXPECT_THAT(server().pactlLines({"get-default-source"}), ElementsAre(source));
    EXPECT_THAT(child->stderrLines(), Contains(std::string("debug: active input uid=") + source))
        << describeOutput(*child);
    child->sendSignal(SIGTERM);
    EXPECT_EQ(child->wait(30s).code, 0) << describeOutput(*child);
    EXPECT_TRUE(child->stdoutLines().empty()) << describeOutput(*child);
    EXPECT_TRUE(onlyJsonAndDebugLines(*child)) << describeOutput(*child);
  }
}

TEST_P(DefaultSwitchTest, AnUnknownSourceIsInputDeviceNotFound) {
  ASSERT_EQ(server().pactl({"set-default-source", kStereo48Source}).status.code, 0);
  // Names are exact: no other case, no prefix, nothing empty.
  for (const char* uid : {"tellwyn_nothing", "TELLWYN_MONO16", "tellwyn_mono", ""}) {
    SCOPED_TRACE(uid);
    auto child = startTellwyn(server(), uid);
    const auto status = child->wait(30s);
    EXPECT_EQ(status.code, 1) << describeOutput(*child);
    EXPECT_THAT(child->stdoutLines(),
                ElementsAre(R"({"type":"error","code":"retryable","reason":)"
                            R"("speech_bridge_start_failed","message":"Input device not found"})"))
        << describeOutput(*child);
    EXPECT_TRUE(onlyJsonAndDebugLines(*child)) << describeOutput(*child);
    // The default stays where it was.
    EXPECT_THAT(server().pactlLines({"get-default-source"}), ElementsAre(kStereo48Source));
  }
}

INSTANTIATE_TEST_SUITE_P(BothServers, DefaultSwitchTest, ::testing::ValuesIn(kBothServerKinds),
                         serverKindTestName);

}  // namespace
}  // namespace tellwyn
