// Long speech end to end: build/tellwyn on the private sound server, fed a
// passage of several sentences (flite's kal16 voice, made at test time) with
// pauses both shorter and longer than the silence delay. The finals of the
// run, joined, must carry each spoken word once and be close to what was said.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/pulse_server.h"
#include "support/tellwyn_process.h"
#include "support/transcript_words.h"

namespace tellwyn {
namespace {

using namespace std::chrono_literals;
using namespace ::tellwyn::testing;

struct Sentence {
  std::string text;
  double pauseSeconds;  // silence after it
};

// About 25 s of speech and pauses.
const std::vector<Sentence> kPassage = {
    {"the train to the city leaves every hour from the north station", 0.25},
    {"you can buy a ticket at the counter or from the machine by the door", 2.0},
    {"the trip takes about forty minutes when there is no delay", 0.6},
    {"most people read a book or look out of the window on the way", 3.0},
    {"when the train arrives you can walk to the market in five minutes", 0.4},
};

// The passage's sentences as 16 kHz mono WAV files in a directory of their
// own, made once per process and removed when it exits.
struct PassageFiles {
  PassageFiles() {
    for (std::size_t i = 0; i < kPassage.size(); ++i) {
      const auto file = directory / ("sentence" + std::to_string(i) + ".wav");
      const auto result =
          runProcess({"flite", "-voice", "kal16", "-t", kPassage[i].text, "-o", file.string()});
      if (result.status.code != 0) throw std::runtime_error("flite failed (scripts/install-deps)");
      files.push_back(file);
    }
  }
  ~PassageFiles() {
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
  }
  PassageFiles(const PassageFiles&) = delete;
  PassageFiles& operator=(const PassageFiles&) = delete;

  const std::filesystem::path directory = [] {
    auto made = std::filesystem::temp_directory_path() /
                ("tellwyn-long-speech-" + std::to_string(::getpid()));
    std::filesystem::create_directories(made);
    return made;
  }();
  std::vector<std::filesystem::path> files;
};

const std::vector<std::filesystem::path>& sentenceFiles() {
  static const PassageFiles passage;
  return passage.files;
}

class LongSpeechTest : public ::testing::TestWithParam<std::vector<std::string>> {
 protected:
  void TearDown() override { sharedPulseServer().clearFeed(kMono16Source); }
};

TEST_P(LongSpeechTest, FinalsCarryEachSpokenWordOnce) {
  const auto& files = sentenceFiles();
  std::string said;
  for (const auto& sentence : kPassage) said += (said.empty() ? "" : " ") + sentence.text;

  auto child = startTellwyn(sharedPulseServer(), kMono16Source, GetParam());
  ASSERT_TRUE(waitForCaptureSetUp(*child)) << describeOutput(*child);
  // The speech starts while the model loads.
  for (std::size_t i = 0; i < kPassage.size(); ++i) {
    sharedPulseServer().feedFile(kMono16Source, files[i]);
    const std::vector<float> pause(static_cast<std::size_t>(kPassage[i].pauseSeconds * 16000));
    sharedPulseServer().feedSamples(kMono16Source, pause);
  }
  ASSERT_TRUE(sharedPulseServer().waitUntilFed(kMono16Source, 120s));
  // Room for the last utterance to end and its final to come; SIGTERM then
  // writes whatever is still pending as the last final.
  std::this_thread::sleep_for(3s);
  child->sendSignal(SIGTERM);
  EXPECT_EQ(child->wait(30s).code, 0) << describeOutput(*child);

  std::vector<std::string> finals;
  for (const auto& line : child->stdoutLines()) {
    if (!isFinalLine(line)) continue;
    const std::string prefix = R"({"type":"final","text":")";
    finals.push_back(line.substr(prefix.size(), line.size() - prefix.size() - 2));
  }
  ASSERT_FALSE(finals.empty()) << describeOutput(*child);

  const Words reference = splitWords(said);
  for (const auto& run : repeatedRuns(finals, reference)) {
    std::string words;
    for (const auto& word : run.words) words += " " + word;
    ADD_FAILURE() << "final " << run.finalIndex + 1 << " repeats:" << words << "\n"
                  << describeOutput(*child);
  }
  // The recognizer gets about 5% of this voice's words wrong offline; the
  // bound leaves room for a loaded machine, where the decoder may fall behind.
  const WordErrors errors = wordErrors(reference, joinWords(finals));
  EXPECT_LT(errors.rate(), 0.4) << describeOutput(*child);
  EXPECT_TRUE(onlyJsonAndDebugLines(*child)) << describeOutput(*child);
}

INSTANTIATE_TEST_SUITE_P(SilenceDelays, LongSpeechTest,
                         ::testing::Values(std::vector<std::string>{},
                                           std::vector<std::string>{"--silence-ms=300"}),
                         [](const auto& delay) {
                           return delay.param.empty() ? std::string("DefaultDelay")
                                                      : std::string("Delay300ms");
                         });

}  // namespace
}  // namespace tellwyn
