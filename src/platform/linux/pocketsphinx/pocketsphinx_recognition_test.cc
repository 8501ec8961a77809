#include "platform/linux/pocketsphinx/pocketsphinx_recognition.h"

#include <gtest/gtest.h>
#include <speex/speex_resampler.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/capture_failure_notice.h"
#include "platform/fake/fake_main_queue.h"
#include "platform/linux/pocketsphinx/pocketsphinx_library.h"
#include "support/output_capture.h"
#include "support/temp_files.h"

namespace tellwyn {
namespace {

using namespace std::chrono_literals;

const std::string kTestData = "/usr/share/pocketsphinx/test/data/";

std::vector<std::int16_t> readRaw(const std::string& name) {
  return testing::readS16Samples(kTestData + name);
}

// 16 kHz 16-bit samples as float samples at `rate`.
std::vector<float> resampledFloat(const std::vector<std::int16_t>& in, std::uint32_t rate) {
  std::vector<float> source(in.begin(), in.end());
  for (float& sample : source) sample /= 32768.0f;
  int error = 0;
  SpeexResamplerState* state = speex_resampler_init(1, 16000, rate, 5, &error);
  std::vector<float> out(source.size() * rate / 16000 + 64);
  spx_uint32_t inLength = static_cast<spx_uint32_t>(source.size());
  spx_uint32_t outLength = static_cast<spx_uint32_t>(out.size());
  speex_resampler_process_float(state, 0, source.data(), &inLength, out.data(), &outLength);
  speex_resampler_destroy(state);
  out.resize(outLength);
  return out;
}

// Appends `samples` to the request in 1024-frame buffers of `channels`
// channels; channel 0 carries the audio, the others a loud square wave.
template <typename Sample>
void appendAll(RecognitionRequest& request, const std::vector<Sample>& samples, double rate,
               std::uint32_t channels) {
  constexpr CommonFormat kType =
      std::is_same_v<Sample, float> ? CommonFormat::kFloat32 : CommonFormat::kInt16;
  const auto format = *AudioFormat::make(kType, rate, channels, false);
  const Sample loud = std::is_same_v<Sample, float> ? Sample(0.5) : Sample(16000);
  for (std::size_t at = 0; at < samples.size(); at += 1024) {
    auto buffer = *PcmBuffer::make(format, 1024);
    const auto frames =
        static_cast<std::uint32_t>(std::min<std::size_t>(1024, samples.size() - at));
    buffer.setFrameLength(frames);
    Sample* const* data = nullptr;
    if constexpr (std::is_same_v<Sample, float>) {
      data = buffer.floatChannelData().data();
    } else {
      data = buffer.int16ChannelData().data();
    }
    std::copy_n(samples.begin() + static_cast<std::ptrdiff_t>(at), frames, data[0]);
    for (std::uint32_t c = 1; c < channels; ++c) {
      for (std::uint32_t i = 0; i < frames; ++i) data[c][i] = (i / 8) % 2 ? loud : Sample(-loud);
    }
    request.append(buffer);
  }
}

struct Report {
  std::optional<RecognitionResult> result;
  std::optional<Error> error;
};

// A recognition service on a fake main queue that the test thread drives,
// with the environment given as a table.
class RecognitionFixture : public ::testing::Test {
 protected:
  std::unique_ptr<SpeechRecognition> makeService(
      std::map<std::string, std::string> env,
      const std::string& library = PocketsphinxLibrary::kDefaultName) {
    env_ = std::move(env);
    return std::make_unique<PocketsphinxRecognition>(
        queue_, notice_,
        [this](const char* name) -> const char* {
          const auto found = env_.find(name);
          return found == env_.end() ? nullptr : found->second.c_str();
        },
        std::make_shared<PocketsphinxLibrary>(library));
  }

  RecognitionHandler collect() {
    return [this](std::optional<RecognitionResult> result, std::optional<Error> error) {
      reports_.push_back({std::move(result), std::move(error)});
    };
  }

  // Runs the queue until a final result arrives (generous for sanitizer builds).
  bool runUntilFinal(std::chrono::seconds limit = 120s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      queue_.runPending();
      for (const auto& report : reports_) {
        if (report.result && report.result->isFinal) return true;
      }
      std::this_thread::sleep_for(5ms);
    }
    return false;
  }

  int count(bool final) const {
    int n = 0;
    for (const auto& report : reports_) n += report.result && report.result->isFinal == final;
    return n;
  }

  FakeMainQueue queue_;
  std::shared_ptr<CaptureFailureNotice> notice_ = std::make_shared<CaptureFailureNotice>();
  std::map<std::string, std::string> env_;
  std::vector<Report> reports_;
};

TEST_F(RecognitionFixture, RecognizesSpeechInEveryInputShape) {
  const auto speech = readRaw("goforward.raw");
  ASSERT_FALSE(speech.empty());
  const auto at48k = resampledFloat(speech, 48000);
  struct Case {
    const char* name;
    std::function<void(RecognitionRequest&)> feed;
  };
  const Case cases[] = {
      {"16 kHz int16 mono", [&](RecognitionRequest& r) { appendAll(r, speech, 16000, 1); }},
      {"48 kHz float stereo", [&](RecognitionRequest& r) { appendAll(r, at48k, 48000, 2); }},
  };
  auto service = makeService({{"LANG", "en_US.UTF-8"}});
  auto recognizer = service->makeRecognizer(std::nullopt);
  ASSERT_NE(recognizer, nullptr);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    reports_.clear();
    testing::OutputCapture output;
    auto request = recognizer->makeRequest();
    request->setShouldReportPartialResults(true);
    // Audio that arrives before the task starts (and before the model has
    // loaded) waits for it.
    c.feed(*request);
    auto task = recognizer->startTask(request, collect());
    request->endAudio();
    ASSERT_TRUE(runUntilFinal());
    EXPECT_EQ(reports_.back().result->bestTranscription, "go forward ten meters");
    EXPECT_EQ(count(true), 1);
    EXPECT_GT(count(false), 0);
    for (const auto& report : reports_) EXPECT_FALSE(report.error) << report.error->description;
    task->cancel();
    EXPECT_EQ(output.stdoutText(), "");
    EXPECT_EQ(output.stderrText(), "");
  }
}

TEST_F(RecognitionFixture, JoinsUtterancesAndReportsOnlyFinalsWhenAskedTo) {
  auto service = makeService({});
  auto recognizer = service->makeRecognizer("en-US");
  ASSERT_NE(recognizer, nullptr);
  auto request = recognizer->makeRequest();
  request->setShouldReportPartialResults(false);
  auto task = recognizer->startTask(request, collect());
  // Two recordings back to back, fed from a capture thread: two utterances
  // in one cumulative transcript.
  std::thread capture([&] {
    appendAll(*request, readRaw("goforward.raw"), 16000, 1);
    appendAll(*request, readRaw("something.raw"), 16000, 1);
  });
  capture.join();
  request->endAudio();
  ASSERT_TRUE(runUntilFinal());
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_EQ(reports_[0].result->bestTranscription,
            "go forward ten meters go somewhere and do something");
}

TEST_F(RecognitionFixture, NothingIsReportedAfterCancel) {
  auto service = makeService({});
  auto recognizer = service->makeRecognizer("en");
  ASSERT_NE(recognizer, nullptr);
  const auto speech = readRaw("goforward.raw");
  // Cancelled while the model loads, and right after endAudio as the
  // session's stop does.
  for (const bool waitForLoad : {false, true}) {
    reports_.clear();
    auto request = recognizer->makeRequest();
    auto task = recognizer->startTask(request, collect());
    if (waitForLoad) std::this_thread::sleep_for(1500ms);
    appendAll(*request, speech, 16000, 1);
    request->endAudio();
    task->cancel();
    std::this_thread::sleep_for(200ms);
    queue_.runPending();
    EXPECT_TRUE(reports_.empty()) << "waitForLoad=" << waitForLoad;
  }
}

TEST_F(RecognitionFixture, CaptureFailureIsReportedOnceWhileAudioFlows) {
  auto service = makeService({});
  auto recognizer = service->makeRecognizer(std::nullopt);
  ASSERT_NE(recognizer, nullptr);
  auto request = recognizer->makeRequest();
  auto task = recognizer->startTask(request, collect());
  notice_->captureEnded("Audio capture ended: Connection terminated");
  notice_->captureEnded("Audio capture ended: again");
  request->endAudio();
  notice_->captureEnded("Audio capture ended: after the end");
  ASSERT_TRUE(runUntilFinal());
  ASSERT_EQ(reports_.size(), 2u);
  ASSERT_TRUE(reports_[0].error);
  EXPECT_EQ(reports_[0].error->description, "Audio capture ended: Connection terminated");
  EXPECT_FALSE(reports_[0].result);
  EXPECT_EQ(reports_[1].result->bestTranscription, "");
}

TEST_F(RecognitionFixture, RecognizerExistsOnlyForInstalledModels) {
  const auto empty = std::filesystem::temp_directory_path() / "tellwyn-no-models";
  std::filesystem::create_directories(empty);
  struct Case {
    std::map<std::string, std::string> env;
    std::optional<std::string> locale;
    bool expected;
  };
  const Case cases[] = {
      {{}, std::nullopt, true},
      {{{"LANG", "C"}}, std::nullopt, true},
      {{{"LC_ALL", "POSIX"}, {"LANG", "de_DE.UTF-8"}}, std::nullopt, true},
      {{{"LC_ALL", ""}, {"LC_MESSAGES", "de_DE.UTF-8"}, {"LANG", "en_US"}}, std::nullopt, false},
      {{}, "de_DE", false},
      {{}, "en_US.UTF-8", true},
      {{{"TELLWYN_MODEL_DIR", empty.string()}}, "en-US", false},
  };
  for (const auto& c : cases) {
    auto service = makeService(c.env);
    EXPECT_EQ(service->makeRecognizer(c.locale) != nullptr, c.expected)
        << c.locale.value_or("(user locale)");
  }
}

TEST_F(RecognitionFixture, RecognizerIsUnavailableWhenTheLibraryDoesNotOpen) {
  const std::pair<std::string, std::string> cases[] = {
      {"libtellwyn-no-such-recognizer.so.0",
       "debug: Speech recognizer library could not be loaded: libtellwyn-no-such-recognizer.so.0"},
      {"libm.so.6", "debug: Speech recognizer library libm.so.6 has no err_set_logfp"},
  };
  for (const auto& [library, debugLine] : cases) {
    auto service = makeService({}, library);
    testing::OutputCapture output;
    EXPECT_EQ(service->makeRecognizer("en-US"), nullptr) << library;
    // Asked again, the answer stands.
    EXPECT_EQ(service->makeRecognizer("en-US"), nullptr) << library;
    const auto lines = output.stderrLines();
    ASSERT_EQ(lines.size(), 2u) << output.stderrText();
    for (const auto& line : lines) EXPECT_EQ(line.rfind(debugLine, 0), 0u) << line;
    EXPECT_TRUE(output.stdoutText().empty());
  }
}

TEST_F(RecognitionFixture, AuthorizationIsGrantedOnAnotherThread) {
  auto service = makeService({});
  EXPECT_EQ(service->authorizationStatus(), kSpeechAuthorized);
  std::promise<std::pair<int, std::thread::id>> answer;
  service->requestAuthorization([&](int status) {
    answer.set_value({status, std::this_thread::get_id()});
  });
  const auto [status, thread] = answer.get_future().get();
  EXPECT_EQ(status, kSpeechAuthorized);
  EXPECT_NE(thread, std::this_thread::get_id());
}

}  // namespace
}  // namespace tellwyn
