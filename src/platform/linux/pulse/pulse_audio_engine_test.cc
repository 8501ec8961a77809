#include "platform/linux/pulse/pulse_audio_engine.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/fake/fake_main_queue.h"
#include "platform/linux/linux_speech_services.h"
#include "support/output_capture.h"
#include "support/pulse_server.h"
#include "support/scoped_environment.h"

namespace tellwyn {
namespace {

using namespace std::chrono_literals;
using testing::PulseServer;

// Waits (generously: sanitizer builds on a busy machine) until `done` holds.
template <typename Predicate>
bool eventually(Predicate done, std::chrono::milliseconds limit = 20s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// What the tap saw, written on the capture thread and read by the test.
struct TapLog {
  std::mutex mutex;
  int buffers = 0;
  bool wrongShape = false;
  std::uint64_t nextSampleTime = 0;
  bool timeGap = false;
  // Channel means of the latest buffer.
  std::vector<double> means;

  TapBlock block(std::uint32_t channels) {
    return [this, channels](const PcmBuffer& buffer, AudioTime time) {
      std::lock_guard lock(mutex);
      ++buffers;
      if (buffer.frameLength() != 1024 || buffer.format().channelCount != channels ||
          buffer.format().interleaved) {
        wrongShape = true;
      }
      if (time.sampleTime != nextSampleTime) timeGap = true;
      nextSampleTime = time.sampleTime + buffer.frameLength();
      means.assign(channels, 0);
      for (std::uint32_t c = 0; c < channels; ++c) {
        for (std::uint32_t i = 0; i < buffer.frameLength(); ++i) {
          means[c] += buffer.format().commonFormat == CommonFormat::kInt16
                          ? buffer.int16ChannelData()[c][i] / 32768.0
                          : buffer.floatChannelData()[c][i];
        }
        means[c] /= buffer.frameLength();
      }
    };
  }
  int count() {
    std::lock_guard lock(mutex);
    return buffers;
  }
};

// Each test has a daemon of its own (one is killed), exported to libpulse.
class PulseAudioEngineTest : public ::testing::Test {
 protected:
  void SetUp() override { server_.exportToThisProcess(); }

  void useDefault(const std::string& source) {
    ASSERT_EQ(server_.pactl({"set-default-source", source}).status.code, 0);
  }

  std::unique_ptr<AudioEngine> make(const std::optional<std::string>& deviceUID) {
    auto made = factory_->makeEngine(deviceUID);
    EXPECT_TRUE(made.ok()) << made.error().description;
    return made.ok() ? std::move(made).value() : nullptr;
  }

  // A module-null-sink whose monitor is a source to record from and unload.
  std::string loadNullSink(const std::string& name) {
    const auto lines = server_.pactlLines({"load-module", "module-null-sink", "sink_name=" + name});
    return lines.empty() ? std::string() : lines.front();
  }

  PulseServer server_;
  std::unique_ptr<AudioEngineFactory> factory_ = makePulseAudioEngineFactory();
};

TEST_F(PulseAudioEngineTest, CapturesTheDefaultSourceInItsOwnFormat) {
  struct Case {
    const char* source;
    CommonFormat type;
    double rate;
    std::uint32_t channels;
    std::vector<float> frame;  // fed over and over
  };
  const Case cases[] = {
      {testing::kMono16Source, CommonFormat::kInt16, 16000, 1, {0.25f}},
      {testing::kStereo48Source, CommonFormat::kFloat32, 48000, 2, {0.25f, -0.5f}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    useDefault(c.source);
    auto engine = make(std::nullopt);
    const AudioFormat format = engine->inputFormat();
    EXPECT_EQ(format.commonFormat, c.type);
    EXPECT_EQ(format.sampleRate, c.rate);
    EXPECT_EQ(format.channelCount, c.channels);
    EXPECT_FALSE(format.interleaved);

    // A steady level per channel shows each channel lands in its own array.
    std::vector<float> feed;
    for (int i = 0; i < static_cast<int>(c.rate) * 4; ++i) {
      feed.insert(feed.end(), c.frame.begin(), c.frame.end());
    }
    server_.feedSamples(c.source, feed);

    TapLog log;
    engine->installTap(1024, format, log.block(c.channels));
    engine->prepare();
    ASSERT_TRUE(engine->start().ok());
    ASSERT_TRUE(eventually([&] {
      std::lock_guard lock(log.mutex);
      return log.means.size() == c.channels && std::abs(log.means[0] - c.frame[0]) < 0.01;
    }));
    {
      std::lock_guard lock(log.mutex);
      for (std::uint32_t ch = 0; ch < c.channels; ++ch)
        EXPECT_NEAR(log.means[ch], c.frame[ch], 0.01);
      EXPECT_FALSE(log.wrongShape);
      EXPECT_FALSE(log.timeGap);
    }

    // Once stop() returns the tap runs no more; a second start captures again.
    engine->stop();
    const int stopped = log.count();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(log.count(), stopped);
    {
      std::lock_guard lock(log.mutex);
      log.nextSampleTime = 0;  // capture time starts over
    }
    ASSERT_TRUE(engine->start().ok());
    ASSERT_TRUE(eventually([&] { return log.count() > stopped + 3; }));
    engine->stop();
    engine->removeTap();
    server_.clearFeed(c.source);
  }
}

TEST_F(PulseAudioEngineTest, WithoutServerOrSourceNoEngineIsMade) {
  struct Case {
    const char* name;
    std::optional<std::string> server;
    std::optional<std::string> deviceUID;
    std::string description;
  };
  const Case cases[] = {
      {"no server", testing::kDeadPulseServer, std::nullopt,
       "Audio capture could not start: Connection refused"},
      {"unknown device", std::nullopt, "tellwyn_nowhere",
       "Audio capture could not start: Input device not found"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::OutputCapture output;
    PulseAudioEngine::Options options;
    options.server = c.server.value_or(server_.serverAddress());
    auto factory = makePulseAudioEngineFactory(options);
    const auto made = factory->makeEngine(c.deviceUID);
    ASSERT_FALSE(made.ok());
    EXPECT_EQ(made.error().description, c.description);
    // libpulse wrote nothing of its own.
    EXPECT_EQ(output.stdoutText(), "");
    EXPECT_EQ(output.stderrText(), "");
  }
}

TEST(PulseAudioEngineNoSourceTest, WithoutAnyDefaultSourceTheReasonSaysSoPlainly) {
  // A server with no capture source at all, so no default one either.
  testing::PulseServerOptions options;
  options.sources = {};
  PulseServer server(options);
  for (const auto& line : server.pactlLines({"list", "short", "modules"})) {
    if (line.find("module-null-sink") != std::string::npos) {
      ASSERT_EQ(server.pactl({"unload-module", line.substr(0, line.find('\t'))}).status.code, 0);
    }
  }
  ASSERT_TRUE(server.pactlLines({"list", "short", "sources"}).empty());
  PulseAudioEngine::Options engines;
  engines.server = server.serverAddress();
  const auto made = makePulseAudioEngineFactory(engines)->makeEngine(std::nullopt);
  ASSERT_FALSE(made.ok());
  EXPECT_EQ(made.error().description,
            "Audio capture could not start: The sound server has no default input");
}

TEST_F(PulseAudioEngineTest, ANamedSourceIsKeptWhateverTheDefaultDoes) {
  // Each source carries its own steady level; the tap's mean tells which one
  // is being recorded. A named source stays; without a name the stream is
  // the server's to move, and it follows the new default.
  struct Case {
    const char* name;
    std::optional<std::string> deviceUID;
    float levelAfterSwitch;
  };
  const Case cases[] = {
      {"named", testing::kMono16Source, 0.25f},
      {"default", std::nullopt, -0.5f},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    useDefault(testing::kMono16Source);
    server_.feedSamples(testing::kMono16Source, std::vector<float>(16000 * 30, 0.25f));
    server_.feedSamples(testing::kStereo48Source, std::vector<float>(48000 * 2 * 30, -0.5f));
    auto engine = make(c.deviceUID);
    ASSERT_NE(engine, nullptr);
    const AudioFormat format = engine->inputFormat();
    ASSERT_EQ(format.channelCount, 1u);
    TapLog log;
    engine->installTap(1024, format, log.block(1));
    ASSERT_TRUE(engine->start().ok());
    const auto level = [&] {
      std::lock_guard lock(log.mutex);
      return log.means.empty() ? 0.0 : log.means[0];
    };
    ASSERT_TRUE(eventually([&] { return std::abs(level() - 0.25) < 0.01; }));

    useDefault(testing::kStereo48Source);
    // Long enough for the server to move a stream that may be moved.
    std::this_thread::sleep_for(1s);
    const int seen = log.count();
    ASSERT_TRUE(eventually([&] { return log.count() > seen + 5; }));
    EXPECT_NEAR(level(), c.levelAfterSwitch, 0.01);
    engine->stop();
    engine->removeTap();
    server_.clearFeed(testing::kMono16Source);
    server_.clearFeed(testing::kStereo48Source);
  }
}

TEST_F(PulseAudioEngineTest, ANamedSourceThatGoesAwayEndsCaptureOnce) {
  const std::string module = loadNullSink("tellwyn_gone");
  ASSERT_FALSE(module.empty());
  auto notice = std::make_shared<CaptureFailureNotice>();
  struct Listener : CaptureFailureNotice::Listener {
    std::mutex mutex;
    std::vector<std::string> ended;
    void captureEnded(const std::string& description) override {
      std::lock_guard lock(mutex);
      ended.push_back(description);
    }
    std::size_t count() {
      std::lock_guard lock(mutex);
      return ended.size();
    }
  };
  auto listener = std::make_shared<Listener>();
  notice->subscribe(listener);
  PulseAudioEngine::Options options;
  options.captureFailures = notice;
  factory_ = makePulseAudioEngineFactory(options);
  auto engine = make("tellwyn_gone.monitor");
  ASSERT_NE(engine, nullptr);
  TapLog log;
  engine->installTap(1024, engine->inputFormat(), log.block(2));
  ASSERT_TRUE(engine->start().ok());
  ASSERT_TRUE(eventually([&] { return log.count() > 3; }));

  ASSERT_EQ(server_.pactl({"unload-module", module}).status.code, 0);
  ASSERT_TRUE(eventually([&] { return listener->count() > 0; }));
  // No other source takes its place.
  const int buffers = log.count();
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(log.count(), buffers);
  EXPECT_EQ(listener->count(), 1u);
  EXPECT_EQ(listener->ended.front(),
            "Audio capture ended: The input \"tellwyn_gone.monitor\" is gone");
  engine->stop();
  engine->removeTap();
}

TEST_F(PulseAudioEngineTest, AStuckServerCostsOneStepDeadlineOrATerminationRequest) {
  useDefault(testing::kMono16Source);
  // The daemon stops answering; the kernel still accepts connections.
  ASSERT_EQ(::kill(server_.pid(), SIGSTOP), 0);
  struct Resume {
    pid_t pid;
    ~Resume() { ::kill(pid, SIGCONT); }
  } resume{server_.pid()};

  {
    SCOPED_TRACE("deadline");
    PulseAudioEngine::Options options;
    options.stepTimeout = 500ms;
    auto factory = makePulseAudioEngineFactory(options);
    const auto began = std::chrono::steady_clock::now();
    const auto made = factory->makeEngine(std::nullopt);
    const auto took = std::chrono::steady_clock::now() - began;
    ASSERT_FALSE(made.ok());
    EXPECT_EQ(made.error().description, "Audio capture could not start: Timeout");
    EXPECT_GE(took, 500ms);
    EXPECT_LT(took, 5s);
  }
  {
    SCOPED_TRACE("termination");
    TerminationWatch termination;
    int handedOver = 0;
    termination.setHandler([&] { ++handedOver; });
    PulseAudioEngine::Options options;
    options.stepTimeout = 60s;
    options.termination = &termination;
    auto factory = makePulseAudioEngineFactory(options);
    std::thread requester([&] {
      std::this_thread::sleep_for(300ms);
      termination.request();
    });
    const auto began = std::chrono::steady_clock::now();
    const auto made = factory->makeEngine(std::nullopt);
    const auto took = std::chrono::steady_clock::now() - began;
    requester.join();
    ASSERT_FALSE(made.ok());
    EXPECT_EQ(handedOver, 1);
    EXPECT_LT(took, 10s);
  }
}

TEST_F(PulseAudioEngineTest, KilledServerBecomesTheRecognitionTasksError) {
  useDefault(testing::kMono16Source);
  testing::OutputCapture output;
  FakeMainQueue queue;
  auto services = makeLinuxSpeechServices(queue);
  auto recognizer = services.speech->makeRecognizer("en-US");
  ASSERT_NE(recognizer, nullptr);
  auto request = recognizer->makeRequest();
  auto made = services.audio->makeEngine(std::nullopt);
  ASSERT_TRUE(made.ok()) << made.error().description;
  auto engine = std::move(made).value();
  const AudioFormat format = engine->inputFormat();
  std::atomic<int> buffers{0};
  engine->installTap(1024, format, [&](const PcmBuffer& buffer, AudioTime) {
    ++buffers;
    request->append(buffer);
  });
  ASSERT_TRUE(engine->start().ok());
  std::vector<Error> errors;
  auto task = recognizer->startTask(
      request, [&](std::optional<RecognitionResult>, std::optional<Error> error) {
        if (error) errors.push_back(*error);
      });
  ASSERT_TRUE(eventually([&] { return buffers.load() > 3; }));

  ASSERT_EQ(::kill(server_.pid(), SIGKILL), 0);
  ASSERT_TRUE(eventually([&] {
    queue.runPending();
    return !errors.empty();
  }));
  EXPECT_EQ(errors[0].description, "Audio capture ended: Connection terminated");

  // The session's stop sequence afterwards: nothing more arrives.
  engine->stop();
  engine->removeTap();
  request->endAudio();
  task->cancel();
  std::this_thread::sleep_for(100ms);
  queue.runPending();
  EXPECT_EQ(errors.size(), 1u);
  // Neither libpulse nor pocketsphinx wrote anything of their own.
  EXPECT_EQ(output.stdoutText(), "");
  EXPECT_EQ(output.stderrText(), "");
}

}  // namespace
}  // namespace tellwyn
