#include "platform/linux/pocketsphinx/recognition_worker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <thread>
#include <vector>

#include "platform/fake/fake_main_queue.h"
#include "platform/linux/pocketsphinx/pocketsphinx_library.h"
#include "platform/linux/pocketsphinx/settled_hypothesis.h"
#include "support/recordings.h"
#include "support/temp_files.h"

namespace tellwyn {
namespace {

using namespace std::chrono_literals;

const ModelFiles kEnglish{"/usr/share/pocketsphinx/model/en-us/en-us",
                          "/usr/share/pocketsphinx/model/en-us/en-us.lm.bin",
                          "/usr/share/pocketsphinx/model/en-us/cmudict-en-us.dict"};

struct Report {
  std::optional<RecognitionResult> result;
  std::optional<Error> error;
};

// One worker on its own thread, reporting to a fake main queue.
class WorkerFixture : public ::testing::Test {
 protected:
  void run(const ModelFiles& model) {
    RecognitionWorker worker(queue_, std::make_shared<PocketsphinxLibrary>(), model, inbox_,
                             delivery());
    run(worker);
  }
  void run(RecognitionWorker::DecoderLoader loader) {
    RecognitionWorker worker(queue_, std::move(loader), inbox_, delivery());
    run(worker);
  }
  void run(RecognitionWorker& worker) {
    std::thread thread([&] { worker.run(); });
    thread.join();
    queue_.runPending();
  }

  std::shared_ptr<RecognitionDelivery> delivery() {
    return std::make_shared<RecognitionDelivery>(
        [this](std::optional<RecognitionResult> result, std::optional<Error> error) {
          reports_.push_back({std::move(result), std::move(error)});
        });
  }

  void append(const std::vector<std::int16_t>& samples) {
    const auto format = *AudioFormat::make(CommonFormat::kInt16, 16000, 1, false);
    for (std::size_t at = 0; at < samples.size(); at += 1024) {
      auto buffer = *PcmBuffer::make(format, 1024);
      const auto frames =
          static_cast<std::uint32_t>(std::min<std::size_t>(1024, samples.size() - at));
      buffer.setFrameLength(frames);
      std::copy_n(samples.begin() + static_cast<std::ptrdiff_t>(at), frames,
                  buffer.int16ChannelData()[0]);
      inbox_->append(buffer);
    }
  }

  FakeMainQueue queue_;
  std::shared_ptr<AudioInbox> inbox_ = std::make_shared<AudioInbox>(0.5);
  std::vector<Report> reports_;
};

TEST_F(WorkerFixture, FallingBehindDropsTheOldestAudioWithOneError) {
  const auto speech = testing::readS16Samples(testing::kGoForward);
  // 0.5 s of backlog allowed, 2.8 s queued before the decoder even starts:
  // the ring rejects some and the decoder drops more, one error for both.
  append(speech);
  inbox_->endAudio();
  run(kEnglish);

  int errors = 0;
  for (const auto& report : reports_) {
    if (!report.error) continue;
    ++errors;
    EXPECT_TRUE(report.error->description.starts_with("Recognition fell behind; dropped "))
        << report.error->description;
  }
  EXPECT_EQ(errors, 1);
  ASSERT_FALSE(reports_.empty());
  ASSERT_TRUE(reports_.back().result);
  EXPECT_TRUE(reports_.back().result->isFinal);
}

TEST_F(WorkerFixture, ModelThatDoesNotLoadIsOneError) {
  inbox_->endAudio();
  run({"/nonexistent/hmm", "/nonexistent/lm.bin", "/nonexistent/dict"});
  ASSERT_EQ(reports_.size(), 1u);
  ASSERT_TRUE(reports_[0].error);
  EXPECT_FALSE(reports_[0].result);
  EXPECT_NE(reports_[0].error->description.find("Speech recognizer"), std::string::npos);
}

// One step of a scripted decoder: what it says after one process() call.
struct DecoderStep {
  bool inSpeech = true;
  std::vector<DecodedWord> words;  // the running hypothesis
  int frames = 0;
};

// A decoder that plays a script: each process() call with samples moves to
// the next step (the last one repeats); after endUtterance, words() is the
// next of `endings`, the hypothesis of the ended utterance. Test thread.
class ScriptedDecoder : public UtteranceDecoder {
 public:
  ScriptedDecoder(std::vector<DecoderStep> steps, std::deque<std::vector<DecodedWord>> endings)
      : steps_(std::move(steps)), endings_(std::move(endings)) {}

  void startUtterance() override { ended_ = false; }
  void process(std::span<const std::int16_t> samples) override {
    if (!samples.empty() && next_ < steps_.size()) current_ = steps_[next_++];
  }
  bool inSpeech() override { return current_.inSpeech && !ended_; }
  void endUtterance() override {
    ended_ = true;
    ending_.clear();
    if (!endings_.empty()) {
      ending_ = endings_.front();
      endings_.pop_front();
    }
  }
  std::vector<DecodedWord> words() override { return ended_ ? ending_ : current_.words; }
  int frames() override { return current_.frames; }

 private:
  std::vector<DecoderStep> steps_;
  std::deque<std::vector<DecodedWord>> endings_;
  std::size_t next_ = 0;
  DecoderStep current_{false, {}, 0};
  bool ended_ = false;
  std::vector<DecodedWord> ending_;
};

bool beginsWithWords(const std::string& text, const std::string& prefix) {
  return prefix.empty() || text == prefix || text.starts_with(prefix + " ");
}

// The first-pass hypothesis of an utterance is revised as it goes, and the
// hypothesis at its end may differ from what the partial results showed,
// from the first word on. What a report showed must stay the beginning of
// every later report: the silence timer may have sent it as a final.
TEST_F(WorkerFixture, ReportsNeverTakeBackWhatTheyShowed) {
  // Frames past a word's end at which it settles.
  constexpr int kSettle = SettledHypothesis::kSettleFrames;
  const DecodedWord the{"the", 0, 20};
  const DecodedWord newWord{"new", 21, 40};
  const DecodedWord topic{"topic", 41, 60};
  const std::vector<DecoderStep> firstUtterance = {
      {true, {the}, 13},
      {true, {the, newWord}, 26},
      {true, {the, newWord, topic}, 20 + kSettle},
      {true, {the, newWord, topic, {"do", 61, 70}}, 60 + kSettle},
      // Revised from the first word on; only "two" lies after what is shown.
      {true, {{"a", 0, 20}, {"tory", 21, 60}, {"two", 61, 75}}, 75 + kSettle},
      {false, {}, 75 + kSettle},
  };
  const std::vector<DecoderStep> secondUtterance = {
      {true, {{"hello", 0, 30}}, 13},
      {true, {{"hello", 0, 30}}, 30 + kSettle},
      {false, {}, 30 + kSettle},
  };
  struct Case {
    std::string name;
    std::vector<DecodedWord> ending;  // the first utterance's hypothesis at its end
    std::string finalText;
  };
  const std::vector<Case> cases = {
      {"ending differs from the first word",
       {{"atari", 0, 30}, {"two", 31, 60}, {"is", 61, 80}, {"executed", 81, 100}},
       "the new topic two executed hello"},
      {"ending extends the shown words",
       {the, newWord, topic, {"two", 61, 75}, {"is", 76, 90}},
       "the new topic two is hello"},
      {"ending shorter than the shown words", {the}, "the new topic two hello"},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    reports_.clear();
    inbox_ = std::make_shared<AudioInbox>();
    std::vector<DecoderStep> steps = firstUtterance;
    steps.insert(steps.end(), secondUtterance.begin(), secondUtterance.end());
    append(std::vector<std::int16_t>(steps.size() * 2048, 0));
    inbox_->endAudio();
    run([&]() -> Result<std::unique_ptr<UtteranceDecoder>> {
      return std::unique_ptr<UtteranceDecoder>(std::make_unique<ScriptedDecoder>(
          steps, std::deque<std::vector<DecodedWord>>{test.ending, {{"hello", 0, 30}}}));
    });

    std::string previous;
    for (const auto& report : reports_) {
      ASSERT_TRUE(report.result);
      EXPECT_TRUE(beginsWithWords(report.result->bestTranscription, previous))
          << "\"" << report.result->bestTranscription << "\" after \"" << previous << "\"";
      previous = report.result->bestTranscription;
    }
    ASSERT_FALSE(reports_.empty());
    EXPECT_TRUE(reports_.back().result->isFinal);
    EXPECT_EQ(reports_.back().result->bestTranscription, test.finalText);
  }
}

TEST(CumulativeTranscriptTest, JoinsUtterancesWithSingleSpaces) {
  CumulativeTranscript transcript;
  EXPECT_EQ(transcript.with(""), "");
  EXPECT_EQ(transcript.with("go"), "go");
  transcript.commit("go forward");
  transcript.commit("");  // a silent utterance adds nothing
  EXPECT_EQ(transcript.with(""), "go forward");
  EXPECT_EQ(transcript.with("ten"), "go forward ten");
  transcript.commit("ten meters");
  EXPECT_EQ(transcript.committed(), "go forward ten meters");
}

}  // namespace
}  // namespace tellwyn
