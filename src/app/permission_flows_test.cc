#include "app/permission_flows.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/testing_platform.h"
#include "support/output_capture.h"
#include "support/process_exit.h"

namespace tellwyn {
namespace {

using ::tellwyn::testing::OutputCapture;

const std::string kSettings(kSpeechPrivacySettingsUrl);

std::string refusal(const std::string& reason) {
  return R"({"type":"error","code":"permission_denied","reason":")" + reason + R"("})";
}

// One run of a flow: statuses, the prompts' answers, and what must follow.
struct FlowCase {
  const char* name;
  bool setup;
  bool skipSpeechCheck;
  int mic;
  std::optional<bool> micAnswer;  // the answer at the microphone prompt
  int speech;
  std::optional<int> speechAnswer;  // the status answered at the speech prompt
  std::vector<std::string> debug;   // after "debug: "
  std::optional<std::string> message;
  std::optional<int> exitStatus;  // none: the flow started the bridge
  std::vector<std::string> urls;
  int micRequests;
  int speechRequests;
};

class PermissionFlowTest : public ::testing::TestWithParam<FlowCase> {};

TEST_P(PermissionFlowTest, Row) {
  const FlowCase& c = GetParam();
  TestingPlatform fakes;
  fakes.microphone.status = c.mic;
  fakes.microphone.autoAnswer = c.micAnswer;
  fakes.speech.status = c.speech;
  fakes.speech.autoAnswer = c.speechAnswer;
  int starts = 0;
  std::optional<int> exitStatus;
  std::vector<std::string> err;
  std::vector<std::string> out;
  {
    OutputCapture capture;
    exitStatus = testing::exitStatusOf([&] {
      if (c.setup) {
        runSetupFlow(fakes.platform);
      } else {
        runStreamingFlow(fakes.platform, c.skipSpeechCheck, [&starts] { ++starts; });
      }
      fakes.application.fakeQueue().runPending();
    });
    err = capture.stderrLines();
    out = capture.stdoutLines();
  }
  std::vector<std::string> debug;
  for (const auto& line : c.debug) debug.push_back("debug: " + line);
  EXPECT_EQ(err, debug);
  EXPECT_EQ(out, c.message ? std::vector<std::string>{*c.message} : std::vector<std::string>{});
  EXPECT_EQ(exitStatus, c.exitStatus);
  EXPECT_EQ(starts, c.exitStatus ? 0 : 1);
  EXPECT_EQ(fakes.workspace.openedUrls, c.urls);
  EXPECT_EQ(fakes.microphone.requests, c.micRequests);
  EXPECT_EQ(fakes.speech.authorizationRequests, c.speechRequests);
  // Prompt answers came on threads of their own.
  for (const auto& id : fakes.microphone.answerThreads) EXPECT_NE(id, std::this_thread::get_id());
}

const FlowCase kSetupRows[] = {
    {"BothAuthorized",
     true,
     false,
     3,
     {},
     3,
     {},
     {"mic auth status=3", "speech auth status=3"},
     {},
     0,
     {},
     0,
     0},
    {"MicGrantedAtPrompt",
     true,
     false,
     0,
     true,
     3,
     {},
     {"mic auth status=0", "requesting mic auth", "mic auth granted=true", "speech auth status=3"},
     {},
     0,
     {},
     1,
     0},
    {"MicRefusedAtPrompt",
     true,
     false,
     0,
     false,
     3,
     {},
     {"mic auth status=0", "requesting mic auth", "mic auth granted=false"},
     refusal("mic_permission_denied"),
     1,
     {},
     1,
     0},
    {"MicRestricted",
     true,
     false,
     1,
     {},
     3,
     {},
     {"mic auth status=1"},
     refusal("mic_permission_denied"),
     1,
     {},
     0,
     0},
    {"MicDenied",
     true,
     false,
     2,
     {},
     3,
     {},
     {"mic auth status=2"},
     refusal("mic_permission_denied"),
     1,
     {},
     0,
     0},
    {"MicUnknown",
     true,
     false,
     9,
     {},
     3,
     {},
     {"mic auth status=9"},
     refusal("mic_permission_denied"),
     1,
     {},
     0,
     0},
    {"SpeechGrantedAtPrompt",
     true,
     false,
     3,
     {},
     0,
     3,
     {"mic auth status=3", "speech auth status=0", "requesting speech auth"},
     {},
     0,
     {},
     0,
     1},
    {"SpeechRefusedAtPrompt",
     true,
     false,
     3,
     {},
     0,
     1,
     {"mic auth status=3", "speech auth status=0", "requesting speech auth"},
     refusal("speech_permission_denied"),
     1,
     {},
     0,
     1},
    {"SpeechPromptAnswersRestricted",
     true,
     false,
     3,
     {},
     0,
     2,
     {"mic auth status=3", "speech auth status=0", "requesting speech auth"},
     refusal("speech_permission_denied"),
     1,
     {},
     0,
     1},
    {"SpeechDenied",
     true,
     false,
     3,
     {},
     1,
     {},
     {"mic auth status=3", "speech auth status=1"},
     refusal("speech_permission_denied"),
     1,
     {},
     0,
     0},
    {"SpeechRestrictedOpensNoSettings",
     true,
     false,
     3,
     {},
     2,
     {},
     {"mic auth status=3", "speech auth status=2"},
     refusal("speech_permission_denied"),
     1,
     {},
     0,
     0},
    {"SpeechUnknown",
     true,
     false,
     3,
     {},
     7,
     {},
     {"mic auth status=3", "speech auth status=7"},
     refusal("speech_permission_denied"),
     1,
     {},
     0,
     0},
    {"SkipFlagIgnored",
     true,
     true,
     3,
     {},
     1,
     {},
     {"mic auth status=3", "speech auth status=1"},
     refusal("speech_permission_denied"),
     1,
     {},
     0,
     0},
};

const FlowCase kStreamingRows[] = {
    {"BothAuthorized",
     false,
     false,
     3,
     {},
     3,
     {},
     {"mic auth status=3", "speech auth status=3"},
     {},
     {},
     {},
     0,
     0},
    {"MicGrantedAtPrompt",
     false,
     false,
     0,
     true,
     3,
     {},
     {"mic auth status=0", "requesting mic auth", "mic auth granted=true", "speech auth status=3"},
     {},
     {},
     {},
     1,
     0},
    {"MicRefusedAtPrompt",
     false,
     false,
     0,
     false,
     3,
     {},
     {"mic auth status=0", "requesting mic auth", "mic auth granted=false"},
     refusal("mic_permission_denied"),
     1,
     {},
     1,
     0},
    {"MicRestricted",
     false,
     false,
     1,
     {},
     3,
     {},
     {"mic auth status=1"},
     refusal("mic_permission_denied"),
     1,
     {},
     0,
     0},
    {"MicDenied",
     false,
     false,
     2,
     {},
     3,
     {},
     {"mic auth status=2"},
     refusal("mic_permission_denied"),
     1,
     {},
     0,
     0},
    {"SpeechDeniedOpensSettings",
     false,
     false,
     3,
     {},
     1,
     {},
     {"mic auth status=3", "speech auth status=1"},
     refusal("speech_permission_denied"),
     1,
     {kSettings},
     0,
     0},
    {"SpeechRestrictedOpensSettings",
     false,
     false,
     3,
     {},
     2,
     {},
     {"mic auth status=3", "speech auth status=2"},
     refusal("speech_permission_restricted"),
     1,
     {kSettings},
     0,
     0},
    {"SpeechUnknown",
     false,
     false,
     3,
     {},
     7,
     {},
     {"mic auth status=3", "speech auth status=7"},
     refusal("speech_permission_unknown"),
     1,
     {},
     0,
     0},
    {"SpeechNegative",
     false,
     false,
     3,
     {},
     -1,
     {},
     {"mic auth status=3", "speech auth status=-1"},
     refusal("speech_permission_unknown"),
     1,
     {},
     0,
     0},
    {"SpeechUndecidedStartsWithoutPrompt",
     false,
     false,
     3,
     {},
     0,
     {},
     {"mic auth status=3", "speech auth status=0", "speech auth not determined",
      "speech auth request skipped on x64 runtime; continue with recognition start"},
     {},
     {},
     {},
     0,
     0},
    {"SkipFlagStartsWithoutReadingSpeech",
     false,
     true,
     3,
     {},
     1,
     {},
     {"mic auth status=3", "speech auth check skipped by startup flag"},
     {},
     {},
     {},
     0,
     0},
    {"SkipFlagAfterMicPrompt",
     false,
     true,
     0,
     true,
     1,
     {},
     {"mic auth status=0", "requesting mic auth", "mic auth granted=true",
      "speech auth check skipped by startup flag"},
     {},
     {},
     {},
     1,
     0},
    {"SkipFlagStillRefusesDeniedMic",
     false,
     true,
     2,
     {},
     3,
     {},
     {"mic auth status=2"},
     refusal("mic_permission_denied"),
     1,
     {},
     0,
     0},
};

std::string rowName(const ::testing::TestParamInfo<FlowCase>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Setup, PermissionFlowTest, ::testing::ValuesIn(kSetupRows), rowName);
INSTANTIATE_TEST_SUITE_P(Streaming, PermissionFlowTest, ::testing::ValuesIn(kStreamingRows),
                         rowName);

TEST(PermissionFlowTimingTest, AnswersAndTheSpeechCheckWaitForTheMainQueue) {
  TestingPlatform fakes;
  fakes.microphone.status = 0;
  int starts = 0;
  std::vector<std::string> err;
  {
    OutputCapture capture;
    runStreamingFlow(fakes.platform, false, [&starts] { ++starts; });
    // The prompt is open; nothing else happens however long it stays so.
    fakes.application.fakeQueue().runPending();
    fakes.application.fakeQueue().advance(3600);
    EXPECT_EQ(fakes.microphone.pendingRequests(), 1);
    // The answer arrives on its own thread and is only posted.
    fakes.microphone.answer(true);
    const auto afterAnswer = capture.stderrLines();
    // Running the answer posts the speech check; the status is read a turn later.
    fakes.application.fakeQueue().runPending();
    err = capture.stderrLines();
    EXPECT_EQ(afterAnswer.size(), 2u);
  }
  EXPECT_EQ(starts, 1);
  EXPECT_EQ(fakes.speech.statusReads, 1);
  EXPECT_EQ(err, (std::vector<std::string>{"debug: mic auth status=0", "debug: requesting mic auth",
                                           "debug: mic auth granted=true",
                                           "debug: speech auth status=3"}));
}

TEST(PermissionFlowTimingTest, AuthorizedStreamingStartsOnlyOnALaterTurn) {
  TestingPlatform fakes;
  int starts = 0;
  {
    OutputCapture capture;
    runStreamingFlow(fakes.platform, false, [&starts] { ++starts; });
    const int startsDuringCall = starts;
    const int readsDuringCall = fakes.speech.statusReads;
    fakes.application.fakeQueue().runPending();
    EXPECT_EQ(startsDuringCall, 0);
    EXPECT_EQ(readsDuringCall, 0);
  }
  EXPECT_EQ(starts, 1);

  // With the skip flag the bridge starts inside the call.
  TestingPlatform skipping;
  int skipStarts = 0;
  {
    OutputCapture capture;
    runStreamingFlow(skipping.platform, true, [&skipStarts] { ++skipStarts; });
  }
  EXPECT_EQ(skipStarts, 1);
  EXPECT_EQ(skipping.speech.statusReads, 0);
}

TEST(PermissionFlowTimingTest, NotDeterminedReasonIsNeverProducedButHasItsText) {
  EXPECT_EQ(speechAuthFailureReasonText(SpeechAuthFailureReason::speechNotDetermined),
            "speech_permission_not_determined");
}

}  // namespace
}  // namespace tellwyn
