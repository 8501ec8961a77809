#include "platform/linux/pocketsphinx/recognition_worker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/fake/fake_main_queue.h"
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
    auto delivery = std::make_shared<RecognitionDelivery>(
        [this](std::optional<RecognitionResult> result, std::optional<Error> error) {
          reports_.push_back({std::move(result), std::move(error)});
        });
    RecognitionWorker worker(queue_, model, inbox_, delivery);
    std::thread thread([&] { worker.run(); });
    thread.join();
    queue_.runPending();
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
  const auto speech = testing::readS16Samples("/usr/share/pocketsphinx/test/data/goforward.raw");
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
