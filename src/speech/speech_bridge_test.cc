#include "speech/speech_bridge.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "platform/fake/call_log.h"
#include "platform/fake/fake_audio_devices.h"
#include "platform/fake/fake_audio_engine.h"
#include "platform/fake/fake_main_queue.h"
#include "platform/fake/fake_speech_recognition.h"
#include "protocol/json_encoding.h"
#include "support/output_capture.h"

namespace tellwyn {
namespace {

using ::tellwyn::testing::OutputCapture;
using Lines = std::vector<std::string>;

std::string line(const BridgeMessage& message) { return *encodeJson(message); }
std::string partialLine(const std::string& text) { return line(BridgeMessage::partial(text)); }
std::string finalLine(const std::string& text) { return line(BridgeMessage::final(text)); }

// One stereo float buffer of `frames` frames: channel 0 at `left`, channel 1
// at `right`.
PcmBuffer stereoBuffer(float left, float right, std::uint32_t frames = 4) {
  auto buffer = PcmBuffer::make({CommonFormat::kFloat32, 48000, 2, false}, frames);
  buffer->setFrameLength(frames);
  std::fill_n(buffer->floatChannelData()[0], frames, left);
  std::fill_n(buffer->floatChannelData()[1], frames, right);
  return std::move(*buffer);
}

class SpeechBridgeTest : public ::testing::Test {
 protected:
  void TearDown() override {
    // Running sessions and their tap and task hold each other; stopping
    // breaks the cycle.
    for (auto& bridge : bridges_) bridge->stop();
    // GoogleTest reports failures on standard output, which the capture holds;
    // hand them on so a failing test shows why.
    if (HasFailure() && capture) {
      const std::string captured = capture->stdoutText() + capture->stderrText();
      capture.reset();
      std::cerr << captured;
    }
  }

  SpeechServices services() { return {speech, audio, devices, sleeper, queue}; }

  std::shared_ptr<SpeechBridge> makeBridge(double delay = 1.0) {
    auto created = SpeechBridge::create(services(), std::nullopt, delay);
    EXPECT_TRUE(created.ok());
    bridges_.push_back(created.value());
    log.clear();
    return created.value();
  }

  // A started session with the call log and the output so far cleared.
  std::shared_ptr<SpeechBridge> startedBridge(double delay = 1.0) {
    auto bridge = makeBridge(delay);
    EXPECT_TRUE(bridge->start(std::nullopt).ok());
    log.clear();
    capture.reset();
    capture.emplace();
    return bridge;
  }

  void deliver(std::optional<RecognitionResult> result, std::optional<Error> error = {}) {
    ASSERT_TRUE(speech.deliver(std::move(result), std::move(error)));
    queue.runPending();
  }
  void partial(const std::string& text) { deliver(RecognitionResult{text, false}); }
  void nativeFinal(const std::string& text) { deliver(RecognitionResult{text, true}); }

  Lines out() { return capture->stdoutLines(); }
  Lines err() { return capture->stderrLines(); }

  CallLog log;
  FakeMainQueue queue;
  FakeSpeechRecognition speech{queue, &log};
  FakeAudioEngineFactory audio{&log};
  FakeAudioDeviceSystem devices = [this] {
    FakeAudioDeviceSystem system(&log);
    system.addDevice({1, "builtin-mic", "Built-in Microphone", {1}, std::nullopt});
    system.addDevice({2, "usb-mic", "USB Microphone", {1}, std::nullopt});
    system.setDefaultInput(1);
    return system;
  }();
  FakeSleeper sleeper;
  std::optional<OutputCapture> capture{std::in_place};

 private:
  std::vector<std::shared_ptr<SpeechBridge>> bridges_;
};

// --- Construction ---------------------------------------------------------

TEST_F(SpeechBridgeTest, CreateFailsWithoutARecognizerForTheLocale) {
  speech.supportedLocales = std::vector<std::string>{"en-US"};
  speech.defaultLocaleSupported = false;
  struct Case {
    std::optional<std::string> locale;
    bool ok;
  };
  for (const Case& c : {Case{"en-US", true}, Case{"fr-FR", false}, Case{std::nullopt, false}}) {
    auto created = SpeechBridge::create(services(), c.locale, 1.5);
    ASSERT_EQ(created.ok(), c.ok) << c.locale.value_or("(none)");
    if (c.ok) {
      EXPECT_EQ(created.value()->finalizeDelaySeconds(), 1.5);
    } else {
      EXPECT_EQ(created.error(), (Error{"SpeechBridge", 1, "Speech recognizer unavailable"}));
    }
  }
  EXPECT_EQ(speech.requestedLocales,
            (std::vector<std::optional<std::string>>{"en-US", "fr-FR", std::nullopt}));
  EXPECT_EQ(audio.enginesMade(), 0);
  EXPECT_EQ(out(), Lines{});
  EXPECT_EQ(err(), Lines{});
}

TEST_F(SpeechBridgeTest, CreateKeepsTheDelayUnclamped) {
  EXPECT_EQ(makeBridge(0.01)->finalizeDelaySeconds(), 0.01);
}

// --- start and stop -------------------------------------------------------

TEST_F(SpeechBridgeTest, StartOnTheDefaultInputBuildsTheRunInOrder) {
  struct Case {
    AudioFormat format;
    Lines debug;
  };
  const Case cases[] = {
      {{CommonFormat::kFloat32, 48000, 2, false},
       {"debug: input format sampleRate=48000.0 channels=2",
        "debug: downmix enabled sourceChannels=2 targetChannels=1"}},
      {{CommonFormat::kInt16, 16000, 1, false},
       {"debug: input format sampleRate=16000.0 channels=1"}},
      {{CommonFormat::kFloat32, 22050.5, 6, false},
       {"debug: input format sampleRate=22050.5 channels=6",
        "debug: downmix enabled sourceChannels=6 targetChannels=1"}},
  };
  for (const auto& c : cases) {
    audio.inputFormat = c.format;
    auto bridge = makeBridge();
    capture.reset();
    capture.emplace();
    ASSERT_TRUE(bridge->start(std::nullopt).ok());
    EXPECT_EQ(log.calls(), (Lines{"makeRequest", "makeEngine", "inputFormat", "installTap",
                                  "prepare", "start", "startTask"}));
    EXPECT_EQ(err(), c.debug);
    EXPECT_EQ(out(), Lines{});
    EXPECT_EQ(speech.lastRequest()->reportsPartialResults, std::optional<bool>(true));
    EXPECT_EQ(speech.lastTask()->request, speech.lastRequest());
    EXPECT_EQ(audio.tapBufferSize(), 1024u);
    EXPECT_EQ(audio.tapFormat(), c.format);
    EXPECT_TRUE(audio.running());
    EXPECT_EQ(sleeper.total(), 0);
  }
}

TEST_F(SpeechBridgeTest, StartWithADeviceSwitchesAndSettlesBeforeCreatingTheRun) {
  auto bridge = makeBridge();
  capture.reset();
  capture.emplace();
  ASSERT_TRUE(bridge->start("usb-mic").ok());
  EXPECT_EQ(log.calls(), (Lines{"setDefaultInput 2", "makeRequest", "makeEngine usb-mic",
                                "inputFormat", "installTap", "prepare", "start", "startTask"}));
  ASSERT_FALSE(err().empty());
  EXPECT_EQ(err().front(), "debug: active input uid=usb-mic");
  EXPECT_EQ(err().back(), "debug: input format sampleRate=48000.0 channels=1");
  EXPECT_GT(sleeper.total(), 0);  // the route settling wait ran
}

TEST_F(SpeechBridgeTest, AnUnreadableDefaultInputIsLoggedAsUnknown) {
  devices.failCall(FakeDeviceCall::kReadDefaultInput, 1);
  auto bridge = makeBridge();
  capture.reset();
  capture.emplace();
  ASSERT_TRUE(bridge->start("usb-mic").ok());
  const Lines lines = err();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "debug: active input uid=unknown"), lines.end());
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.starts_with("debug: active"); }),
            1);
}

TEST_F(SpeechBridgeTest, AFailedDeviceSwitchStopsThePreviousRunAndCreatesNothing) {
  auto bridge = startedBridge();
  partial("hello");
  const auto previousRequest = speech.lastRequest();
  log.clear();

  const Status started = bridge->start("no-such-mic");
  ASSERT_FALSE(started.ok());
  EXPECT_EQ(started.error().code, -1);
  EXPECT_EQ(started.error().description, "Input device not found");
  EXPECT_EQ(log.calls(), (Lines{"stop", "removeTap", "endAudio", "cancel"}));
  EXPECT_EQ(out(), (Lines{partialLine("hello"), finalLine("hello")}));
  EXPECT_EQ(speech.requests().size(), 1u);
  EXPECT_EQ(audio.enginesMade(), 1);
  EXPECT_FALSE(audio.tapInstalled());

  // Nothing is pending any more, and a later stop does nothing.
  log.clear();
  bridge->stop();
  queue.advance(10);
  EXPECT_EQ(log.calls(), Lines{});
  EXPECT_EQ(out().size(), 2u);
}

TEST_F(SpeechBridgeTest, AFailingDefaultInputWriteFailsStart) {
  devices.failCall(FakeDeviceCall::kWriteDefaultInput, 561);
  auto bridge = makeBridge();
  const Status started = bridge->start("usb-mic");
  ASSERT_FALSE(started.ok());
  EXPECT_EQ(started.error().code, 561);
  EXPECT_EQ(log.calls(), Lines{"setDefaultInput 2"});
  EXPECT_EQ(audio.enginesMade(), 0);
  EXPECT_EQ(speech.requests().size(), 0u);
}

TEST_F(SpeechBridgeTest, AnEngineThatCannotBeMadeFailsStartBeforeAnyFormatIsLogged) {
  audio.makeError = Error{"tellwyn.audio", 10,
                          "Audio capture could not start: The sound server has no default input"};
  auto bridge = makeBridge();
  capture.reset();
  capture.emplace();
  const Status started = bridge->start(std::nullopt);
  ASSERT_FALSE(started.ok());
  EXPECT_EQ(started.error(), *audio.makeError);
  EXPECT_EQ(log.calls(), (Lines{"makeRequest", "makeEngine"}));
  // No made-up format of an engine that does not exist.
  EXPECT_TRUE(err().empty());
  log.clear();
  bridge->stop();
  EXPECT_EQ(log.calls(), Lines{"endAudio"});
}

TEST_F(SpeechBridgeTest, EngineStartFailureUndoesNothingAndStopReleasesIt) {
  audio.startError = Error{"AudioEngine", 7, "Input device busy"};
  auto bridge = makeBridge();
  const Status started = bridge->start(std::nullopt);
  ASSERT_FALSE(started.ok());
  EXPECT_EQ(started.error(), *audio.startError);
  EXPECT_EQ(log.calls(),
            (Lines{"makeRequest", "makeEngine", "inputFormat", "installTap", "prepare", "start"}));
  EXPECT_TRUE(audio.tapInstalled());
  EXPECT_EQ(speech.lastRequest()->endAudioCalls, 0);
  EXPECT_TRUE(speech.tasks().empty());

  log.clear();
  bridge->stop();
  EXPECT_EQ(log.calls(), (Lines{"stop", "removeTap", "endAudio"}));
  EXPECT_FALSE(audio.tapInstalled());
}

TEST_F(SpeechBridgeTest, StopFlushesThePendingTranscriptOnceThenReleasesTheRunInOrder) {
  auto bridge = startedBridge();
  partial("hello world");
  bridge->stop();
  EXPECT_EQ(out(), (Lines{partialLine("hello world"), finalLine("hello world")}));
  EXPECT_EQ(err(), Lines{});  // the flush writes no debug line
  EXPECT_EQ(log.calls(), (Lines{"stop", "removeTap", "endAudio", "cancel"}));
  EXPECT_TRUE(speech.lastTask()->cancelled());
  EXPECT_FALSE(audio.running());

  log.clear();
  bridge->stop();
  queue.advance(10);  // the timer was invalidated
  EXPECT_EQ(out().size(), 2u);
  EXPECT_EQ(log.calls(), Lines{});
}

TEST_F(SpeechBridgeTest, StopOfAWhiteSpaceTranscriptEmitsAnEmptyFinal) {
  auto bridge = startedBridge();
  partial(" \n ");
  bridge->stop();
  EXPECT_EQ(out(), (Lines{partialLine(" \n "), finalLine("")}));
}

TEST_F(SpeechBridgeTest, StopOfASessionNeverStartedDoesNothing) {
  auto bridge = makeBridge();
  bridge->stop();
  EXPECT_EQ(log.calls(), Lines{});
  EXPECT_EQ(out(), Lines{});
  EXPECT_EQ(err(), Lines{});
}

TEST_F(SpeechBridgeTest, RestartEndsThePreviousRunBeforeClearingTheTranscripts) {
  auto bridge = startedBridge();
  nativeFinal("hello");
  partial("hello there");
  ASSERT_TRUE(bridge->start(std::nullopt).ok());
  // The previous run's pending text is flushed against its own last final;
  // the new run starts with no reference, so its first final is whole.
  nativeFinal("hello again");
  EXPECT_EQ(out(), (Lines{finalLine("hello"), partialLine("hello there"), finalLine("there"),
                          finalLine("hello again")}));
  EXPECT_EQ(log.calls(),
            (Lines{"stop", "removeTap", "endAudio", "cancel", "makeRequest", "makeEngine",
                   "inputFormat", "installTap", "prepare", "start", "startTask"}));
  EXPECT_EQ(audio.enginesMade(), 2);
}

// --- Results --------------------------------------------------------------

TEST_F(SpeechBridgeTest, InterimResultsArePartialLinesWithTheWholeTranscript) {
  auto bridge = startedBridge(1.0);
  nativeFinal("  hello  ");
  partial("hello world ");
  EXPECT_EQ(out(), (Lines{finalLine("hello"), partialLine("hello world ")}));
  EXPECT_EQ(err(), Lines{"debug: final source=native"});
  EXPECT_EQ(queue.armedTimerCount(), 1);
  EXPECT_EQ(queue.scheduledIntervals().back(), 1.0);
}

TEST_F(SpeechBridgeTest, AReportWithAFinalAndAnErrorWritesTheFinalFirst) {
  auto bridge = startedBridge();
  deliver(RecognitionResult{"done", true},
          Error{"Speech", 203, "Recognition request was canceled"});
  EXPECT_EQ(out(), (Lines{finalLine("done"),
                          line(BridgeMessage::error("retryable", "speech_recognition_failed",
                                                    "Recognition request was canceled"))}));
}

TEST_F(SpeechBridgeTest, AnErrorChangesNothingElse) {
  auto bridge = startedBridge(1.0);
  partial("pending words");
  deliver(std::nullopt, Error{"Speech", 1, "The Internet connection appears to be offline"});
  queue.advance(1.0);
  EXPECT_EQ(out(),
            (Lines{partialLine("pending words"),
                   line(BridgeMessage::error("retryable", "speech_service_network_unavailable",
                                             "The Internet connection appears to be offline")),
                   finalLine("pending words")}));
  EXPECT_EQ(err(), Lines{"debug: final source=timer"});
}

TEST_F(SpeechBridgeTest, ExtractNewFinalTextDeDuplicatesAgainstThePreviousFinal) {
  struct Step {
    std::string transcript;
    std::string emitted;
  };
  struct Scenario {
    const char* name;
    std::vector<Step> steps;
  };
  const Scenario scenarios[] = {
      {"first final is the whole trimmed text", {{"  hello world \n", "hello world"}}},
      {"extension", {{"hello", "hello"}, {"hello world", "world"}}},
      {"divergence", {{"hello world", "hello world"}, {"hello there", "there"}}},
      {"first character differs by case", {{"hello", "hello"}, {"Hello again", "Hello again"}}},
      {"equal text is repeated whole", {{"hello", "hello"}, {"hello", "hello"}}},
      {"a prefix of the previous is repeated whole", {{"hello", "hello"}, {"hel", "hel"}}},
      {"remainder starts inside a word", {{"hello", "hello"}, {"help", "p"}}},
      {"white space only leaves the reference alone",
       {{"hello", "hello"}, {" \t\u3000 ", ""}, {"hello world", "world"}}},
      {"empty text", {{"", ""}, {"hi", "hi"}}},
      {"remainder is trimmed again", {{"hello", "hello"}, {"hello \u2029 world  ", "world"}}},
      {"NEL and ideographic space are trimmed",
       {{"\u3000hello\u0085", "hello"}, {"hello\u0085there\u2029", "there"}}},
      {"precomposed equals decomposed", {{"caf\u00e9", "caf\u00e9"}, {"cafe\u0301 noir", "noir"}}},
      {"a combining mark changes the character",
       {{"cafe", "cafe"}, {"cafe\u0301 noir", "e\u0301 noir"}}},
      {"a mark on the first letter differs at once",
       {{"e", "e"}, {"e\u0301t\u00e9", "e\u0301t\u00e9"}}},
      {"ZWJ sequence counts as one character",
       {{"\U0001F468\u200d\U0001F469\u200d\U0001F467",
         "\U0001F468\u200d\U0001F469\u200d\U0001F467"},
        {"\U0001F468\u200d\U0001F469\u200d\U0001F467 family", "family"}}},
      {"part of a ZWJ sequence is another character",
       {{"\U0001F468 x", "\U0001F468 x"},
        {"\U0001F468\u200d\U0001F469 x", "\U0001F468\u200d\U0001F469 x"}}},
      {"flags count as one character",
       {{"\U0001F1EB\U0001F1F7 ok", "\U0001F1EB\U0001F1F7 ok"},
        {"\U0001F1EB\U0001F1EE ok", "\U0001F1EB\U0001F1EE ok"},
        {"\U0001F1EB\U0001F1EE ok then", "then"}}},
  };
  for (const auto& scenario : scenarios) {
    SCOPED_TRACE(scenario.name);
    auto bridge = makeBridge();
    for (const auto& step : scenario.steps) {
      EXPECT_EQ(bridge->extractNewFinalText(step.transcript), step.emitted) << step.transcript;
    }
  }
}

// --- Silence timer --------------------------------------------------------

TEST_F(SpeechBridgeTest, InterimResultsCloserThanTheDelayGiveOneFinalAfterTheLast) {
  auto bridge = startedBridge(1.0);
  partial("a");
  queue.advance(0.6);
  partial("a b");
  queue.advance(0.6);
  EXPECT_EQ(out().size(), 2u);
  queue.advance(0.5);
  queue.advance(5);
  EXPECT_EQ(out(), (Lines{partialLine("a"), partialLine("a b"), finalLine("a b")}));
  EXPECT_EQ(err(), Lines{"debug: final source=timer"});
}

TEST_F(SpeechBridgeTest, ANativeFinalDisarmsTheTimer) {
  auto bridge = startedBridge(1.0);
  partial("a b");
  queue.advance(0.5);
  nativeFinal("a b c");
  queue.advance(5);
  EXPECT_EQ(out(), (Lines{partialLine("a b"), finalLine("a b c")}));
  EXPECT_EQ(err(), Lines{"debug: final source=native"});
}

TEST_F(SpeechBridgeTest, ADelayUpdatePostponesAPendingFinal) {
  auto bridge = startedBridge(1.0);
  partial("words");
  queue.advance(0.5);
  bridge->updateFinalizeDelay(2.0);
  queue.advance(1.9);
  EXPECT_EQ(out(), Lines{partialLine("words")});
  queue.advance(0.2);
  EXPECT_EQ(out(), (Lines{partialLine("words"), finalLine("words")}));
}

TEST_F(SpeechBridgeTest, ADelayUpdateWithNothingPendingArmsATimerThatEmitsNothing) {
  auto bridge = startedBridge(1.0);
  bridge->updateFinalizeDelay(0.5);
  queue.runPending();
  EXPECT_EQ(queue.armedTimerCount(), 1);
  queue.advance(1);
  EXPECT_EQ(queue.armedTimerCount(), 0);
  EXPECT_EQ(out(), Lines{});
  EXPECT_EQ(err(), Lines{});
}

TEST_F(SpeechBridgeTest, DelayUpdatesHaveAFloorOfOneTenth) {
  struct Case {
    double requested;
    double applied;
  };
  const Case cases[] = {
      {0.05, 0.1},
      {0, 0.1},
      {-1, 0.1},
      {std::numeric_limits<double>::quiet_NaN(), 0.1},
      {0.1, 0.1},
      {2.5, 2.5},
      {-std::numeric_limits<double>::infinity(), 0.1},
      // No upper bound: silence delays of 1e12, 1e13 and
      // 1e308 ms and infinity reach the timer unchanged.
      {1e9, 1e9},
      {1e10, 1e10},
      {1e305, 1e305},
      {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity()}};
  auto bridge = makeBridge();
  for (const auto& c : cases) {
    bridge->updateFinalizeDelay(c.requested);
    EXPECT_EQ(bridge->finalizeDelaySeconds(), c.applied) << c.requested;
    queue.runPending();
    EXPECT_EQ(queue.scheduledIntervals().back(), c.applied) << c.requested;
    EXPECT_EQ(queue.armedTimerCount(), 1);  // each arming replaces the last
  }
}

TEST_F(SpeechBridgeTest, AWhiteSpaceTranscriptGivesAnEmptyTimerFinal) {
  auto bridge = startedBridge(1.0);
  partial("\u2028 ");
  queue.advance(1.0);
  EXPECT_EQ(out(), (Lines{partialLine("\u2028 "), finalLine("")}));
}

TEST_F(SpeechBridgeTest, TheTimerDoesNotKeepItsSessionAlive) {
  auto created = SpeechBridge::create(services(), std::nullopt, 1.0);
  ASSERT_TRUE(created.ok());
  std::weak_ptr<SpeechBridge> weak = created.value();
  created.value()->handleRecognitionResult(RecognitionResult{"pending", false}, std::nullopt);
  created = Error{};
  queue.runPending();  // the arming block held the last strong reference
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(queue.armedTimerCount(), 1);
  queue.advance(5);
  EXPECT_EQ(out(), Lines{partialLine("pending")});
}

// --- Tap through the session ----------------------------------------------

TEST_F(SpeechBridgeTest, TheSelectionLineIsWrittenOncePerRun) {
  audio.inputFormat = {CommonFormat::kFloat32, 48000, 2, false};
  auto bridge = startedBridge();
  ASSERT_TRUE(audio.pushBuffer(stereoBuffer(0.5f, 1.0f)));
  ASSERT_TRUE(audio.pushBuffer(stereoBuffer(1.0f, 0.5f)));
  const auto first = speech.lastRequest()->appended();
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(first[0].floatChannels, (std::vector<std::vector<float>>{{1, 1, 1, 1}}));
  EXPECT_EQ(first[1].floatChannels, (std::vector<std::vector<float>>{{1, 1, 1, 1}}));

  bridge->stop();
  EXPECT_FALSE(audio.pushBuffer(stereoBuffer(0.5f, 1.0f)));
  ASSERT_TRUE(bridge->start(std::nullopt).ok());
  ASSERT_TRUE(audio.pushBuffer(stereoBuffer(0.25f, 0.5f)));
  const std::string selection1 = "debug: downmix select channel=1 energy=4.0";
  const std::string selection2 = "debug: downmix select channel=1 energy=1.0";
  const Lines lines = err();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), selection1), 1);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), selection2), 1);
  EXPECT_EQ(
      std::count_if(lines.begin(), lines.end(),
                    [](const std::string& l) { return l.starts_with("debug: downmix select"); }),
      2);
}

// The engine calls the tap from its own capture thread while the main thread
// stops and restarts the session: under ThreadSanitizer this checks that the
// request and the logged flag are handed over only through the engine's stop.
TEST_F(SpeechBridgeTest, CaptureThreadAndRestartsDoNotRace) {
  audio.inputFormat = {CommonFormat::kFloat32, 48000, 2, false};
  audio.captureBuffers.push_back(stereoBuffer(0.1f, 0.2f, 1024));
  audio.captureBuffers.push_back(stereoBuffer(0.3f, 0.2f, 1024));
  auto bridge = makeBridge();
  ASSERT_TRUE(bridge->start(std::nullopt).ok());
  for (int run = 0; run < 3; ++run) {
    if (run > 0) {
      ASSERT_TRUE(bridge->start(std::nullopt).ok());
    }
    const auto request = speech.lastRequest();
    ASSERT_TRUE(audio.waitForCaptured(audio.capturedCount() + 20));
    partial("run " + std::to_string(run));
    bridge->stop();
    const auto appended = request->appended();
    ASSERT_GE(appended.size(), 20u);
    for (const auto& buffer : appended) {
      ASSERT_EQ(buffer.floatChannels.size(), 1u);
      ASSERT_EQ(buffer.frameLength, 1024u);
    }
  }
  const Lines lines = err();
  EXPECT_EQ(
      std::count_if(lines.begin(), lines.end(),
                    [](const std::string& l) { return l.starts_with("debug: downmix select"); }),
      3);
}

}  // namespace
}  // namespace tellwyn
