#include "app/app_delegate.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/testing_platform.h"
#include "speech/speech_bridge.h"
#include "support/output_capture.h"
#include "support/process_exit.h"

namespace tellwyn {
namespace {

using ::tellwyn::testing::OutputCapture;

const InfoDictionary kFullDictionary = {
    {"CFBundleIdentifier", std::string("org.tellwyn.Tellwyn")},
    {"NSMicrophoneUsageDescription", std::string("mic text")},
    {"NSSpeechRecognitionUsageDescription", std::string("speech text")},
};

// The fakes, the process state and a pipe standing in for standard input.
class AppDelegateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::array<int, 2> fds{};
    ASSERT_EQ(::pipe2(fds.data(), O_CLOEXEC), 0);
    stdinRead_ = fds[0];
    stdinWrite_ = fds[1];
    state_.finalizeDelaySeconds = 1.2;
  }
  void TearDown() override {
    delegate_.reset();  // joins the config reader
    // A session holds itself through its tap and task until stopped.
    if (state_.activeBridge) state_.activeBridge->stop();
    ::close(stdinWrite_);
    ::close(stdinRead_);
  }

  SpeechBridgeAppDelegate& makeDelegate(BridgeCommandLineConfig config) {
    delegate_ = std::make_unique<SpeechBridgeAppDelegate>(std::move(config), fakes_.platform,
                                                          state_, stdinRead_);
    fakes_.application.setDelegate(delegate_.get());
    return *delegate_;
  }

  // Runs the application (launch, then the queue) and returns the exit
  // status, if the process was ended.
  std::optional<int> runApplication() {
    return testing::exitStatusOf([&] { fakes_.application.run(); });
  }

  std::optional<int> runPending() {
    return testing::exitStatusOf([&] { fakes_.application.fakeQueue().runPending(); });
  }

  // Writes a config line and waits until the reader has posted it.
  void sendConfigLine(double ms, OutputCapture& capture) {
    const std::string line =
        R"({"type":"config","silenceMs":)" + std::to_string(static_cast<long>(ms)) + "}\n";
    ASSERT_EQ(::write(stdinWrite_, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    const std::string expected = "debug: config update silenceMs=";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    const std::size_t before = configLines_;
    for (;;) {
      std::size_t count = 0;
      for (const auto& l : capture.stderrLines()) count += l.starts_with(expected) ? 1 : 0;
      if (count > before) {
        configLines_ = count;
        break;
      }
      ASSERT_LT(std::chrono::steady_clock::now(), deadline);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

  // Runs the queue until `done` says so (given how many actions ran), for at
  // most 30 seconds: the reader posts right after its debug line, but may be
  // descheduled in between.
  std::optional<int> runPendingUntil(const std::function<bool(int ran)>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int ran = 0;
    for (;;) {
      const auto status =
          testing::exitStatusOf([&] { ran += fakes_.application.fakeQueue().runPending(); });
      if (status) return status;
      if (done(ran) || std::chrono::steady_clock::now() > deadline) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  TestingPlatform fakes_;
  ProcessState state_;
  std::unique_ptr<SpeechBridgeAppDelegate> delegate_;
  int stdinRead_ = -1;
  int stdinWrite_ = -1;
  std::size_t configLines_ = 0;
};

TEST_F(AppDelegateTest, StartupDiagnostics) {
  const struct {
    const char* name;
    std::optional<std::string> identifier;
    std::optional<InfoDictionary> dictionary;
    std::vector<std::string> lines;
  } cases[] = {
      {"everything there",
       "org.tellwyn.Tellwyn",
       kFullDictionary,
       {"bundleId=org.tellwyn.Tellwyn", "info.mic=mic text", "info.speech=speech text"}},
      {"no identifier",
       std::nullopt,
       kFullDictionary,
       {"bundleId=unknown", "info.mic=mic text", "info.speech=speech text"}},
      {"no dictionary", "id", std::nullopt, {"bundleId=id", "infoDictionary=missing"}},
      {"no usage keys",
       "id",
       InfoDictionary{{"CFBundleName", std::string("Tellwyn")}},
       {"bundleId=id", "info.mic=missing", "info.speech=missing"}},
      {"usage values not text",
       "id",
       InfoDictionary{{"NSMicrophoneUsageDescription", true},
                      {"NSSpeechRecognitionUsageDescription", std::int64_t{3}}},
       {"bundleId=id", "info.mic=missing", "info.speech=missing"}},
  };
  for (const auto& c : cases) {
    TestingPlatform fakes;
    ProcessState state;
    fakes.bundle.identifier = c.identifier;
    fakes.bundle.dictionary = c.dictionary;
    BridgeCommandLineConfig config;
    config.setupMode = true;  // both authorized: ends right after the flow's lines
    SpeechBridgeAppDelegate delegate(config, fakes.platform, state, stdinRead_);
    fakes.application.setDelegate(&delegate);
    std::optional<int> exitStatus;
    std::vector<std::string> err;
    {
      OutputCapture capture;
      exitStatus = testing::exitStatusOf([&] { fakes.application.run(); });
      err = capture.stderrLines();
    }
    std::vector<std::string> expected = {"debug: SpeechBridge starting"};
    for (const auto& line : c.lines) expected.push_back("debug: " + line);
    expected.push_back("debug: mic auth status=3");
    expected.push_back("debug: speech auth status=3");
    EXPECT_EQ(err, expected) << c.name;
    EXPECT_EQ(exitStatus, 0) << c.name;
    EXPECT_EQ(fakes.application.activationPolicies(),
              std::vector<int>{Application::kActivationPolicyRegular});
    EXPECT_EQ(fakes.application.activations(), std::vector<bool>{true});
    EXPECT_EQ(fakes.application.terminationHandlerInstalls(), 0) << c.name;
  }
}

TEST_F(AppDelegateTest, StreamingStartsTheBridgeWithTheCommandLineValues) {
  fakes_.bundle.dictionary = kFullDictionary;
  BridgeCommandLineConfig config;
  config.language = "fr-FR";
  state_.finalizeDelaySeconds = 0.75;
  makeDelegate(config);
  std::optional<int> exitStatus;
  std::string out;
  {
    OutputCapture capture;
    exitStatus = runApplication();
    out = capture.stdoutText();
  }
  EXPECT_EQ(exitStatus, std::nullopt);
  EXPECT_EQ(out, "");
  ASSERT_TRUE(state_.activeBridge);
  EXPECT_EQ(state_.activeBridge->finalizeDelaySeconds(), 0.75);
  EXPECT_EQ(fakes_.speech.requestedLocales, std::vector<std::optional<std::string>>{"fr-FR"});
  EXPECT_EQ(fakes_.audio.enginesMade(), 1);
  EXPECT_TRUE(fakes_.audio.running());
  EXPECT_EQ(fakes_.application.terminationHandlerInstalls(), 1);
  EXPECT_TRUE(fakes_.application.terminationHandler());
}

TEST_F(AppDelegateTest, ConfigLinesReachOnlyARunningBridge) {
  fakes_.microphone.status = 0;  // the prompt stays open until answered
  makeDelegate(BridgeCommandLineConfig{});
  std::optional<int> exitStatus;
  double delayAtStart = 0;
  double delayAfterLine = 0;
  double delayAfterShortLine = 0;
  {
    OutputCapture capture;
    exitStatus = runApplication();
    // While the prompt is open: read, logged, posted, and dropped.
    sendConfigLine(500, capture);
    if (!exitStatus) exitStatus = runPending();
    fakes_.microphone.answer(true);
    if (!exitStatus) exitStatus = runPending();
    if (state_.activeBridge) delayAtStart = state_.activeBridge->finalizeDelaySeconds();
    // While streaming: applied on the main queue, in seconds.
    sendConfigLine(2500, capture);
    if (!exitStatus) exitStatus = runPending();
    if (state_.activeBridge) delayAfterLine = state_.activeBridge->finalizeDelaySeconds();
    sendConfigLine(20, capture);
    if (!exitStatus) exitStatus = runPending();
    if (state_.activeBridge) delayAfterShortLine = state_.activeBridge->finalizeDelaySeconds();
  }
  EXPECT_EQ(exitStatus, std::nullopt);
  ASSERT_TRUE(state_.activeBridge);
  EXPECT_EQ(delayAtStart, 1.2);
  EXPECT_EQ(delayAfterLine, 2.5);
  EXPECT_EQ(delayAfterShortLine, 0.1);  // the session's own floor
}

TEST_F(AppDelegateTest, BridgeFailuresWriteOneErrorAndExitOne) {
  const struct {
    const char* name;
    std::optional<std::string> language;
    std::optional<std::string> deviceUID;
    bool engineFails;
    std::string line;
    bool bridgePublished;
  } cases[] = {
      {"unsupported locale", "xx-XX", std::nullopt, false,
       R"({"type":"error","code":"retryable","reason":"speech_bridge_init_failed",)"
       R"("message":"Speech recognizer unavailable"})",
       false},
      {"engine start fails", std::nullopt, std::nullopt, true,
       R"({"type":"error","code":"retryable","reason":"speech_bridge_start_failed",)"
       R"("message":"engine broke"})",
       true},
      // The device UID reaches the session unchanged; no such device here.
      {"unknown input device", std::nullopt, "no-such-device", false,
       R"({"type":"error","code":"retryable","reason":"speech_bridge_start_failed",)"
       R"("message":"Input device not found"})",
       true},
  };
  for (const auto& c : cases) {
    TestingPlatform fakes;
    ProcessState state;
    fakes.speech.supportedLocales = std::vector<std::string>{"en-US"};
    if (c.engineFails) fakes.audio.startError = Error{"FakeAudio", 5, "engine broke"};
    BridgeCommandLineConfig config;
    config.language = c.language;
    config.deviceUID = c.deviceUID;
    config.skipSpeechAuthCheckMode = true;  // startBridge runs inside the launch
    std::optional<int> exitStatus;
    std::vector<std::string> out;
    {
      SpeechBridgeAppDelegate delegate(config, fakes.platform, state, stdinRead_);
      fakes.application.setDelegate(&delegate);
      OutputCapture capture;
      exitStatus = testing::exitStatusOf([&] { fakes.application.run(); });
      out = capture.stdoutLines();
    }
    EXPECT_EQ(exitStatus, 1) << c.name;
    EXPECT_EQ(out, std::vector<std::string>{c.line}) << c.name;
    EXPECT_EQ(static_cast<bool>(state.activeBridge), c.bridgePublished) << c.name;
    // The handler is installed once the bridge exists, before it starts.
    EXPECT_EQ(fakes.application.terminationHandlerInstalls(), c.bridgePublished ? 1 : 0) << c.name;
    if (state.activeBridge) state.activeBridge->stop();
  }
}

}  // namespace
}  // namespace tellwyn
