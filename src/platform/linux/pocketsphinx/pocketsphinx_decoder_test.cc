#include "platform/linux/pocketsphinx/pocketsphinx_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "support/recordings.h"
#include "support/temp_files.h"

namespace tellwyn {
namespace {

// The decoder's text for `samples`, fed in steps of `step` samples (128 ms,
// as from a backlog, or 20 ms, as live capture comes), an utterance ending
// whenever the decoder stops hearing speech (as the recognition worker does).
std::string decode(const std::vector<std::int16_t>& samples, std::size_t step = 2048) {
  auto model = locateModel("/usr/share/pocketsphinx/model", {"en", "US"});
  if (!model) return "(no model)";
  auto loaded = PocketsphinxDecoder::load(std::make_shared<PocketsphinxLibrary>(), *model);
  if (!loaded) return "(no decoder)";
  PocketsphinxDecoder& decoder = *loaded.value();
  std::string text;
  auto take = [&] {
    for (const DecodedWord& word : decoder.words()) text += (text.empty() ? "" : " ") + word.text;
  };
  bool started = false;
  decoder.startUtterance();
  for (std::size_t at = 0; at < samples.size(); at += step) {
    const std::size_t count = std::min(step, samples.size() - at);
    decoder.process({samples.data() + at, count});
    if (decoder.inSpeech()) {
      started = true;
    } else if (started) {
      decoder.endUtterance();
      take();
      decoder.startUtterance();
      started = false;
    }
  }
  decoder.endUtterance();
  take();
  return text;
}

std::vector<std::int16_t> dashwood() {
  std::vector<std::int16_t> samples = testing::readS16Samples(testing::kDashwood);
  samples.erase(samples.begin(), samples.begin() + std::min<std::size_t>(22, samples.size()));
  return samples;
}

// The first seconds of speech are normalised with the speaker's own cepstral
// mean: with the model's initial mean the decoder heard "dashwood and then
// at leisure to consider our much".
TEST(PocketsphinxDecoderTest, FirstSpeechIsDecodedWithItsOwnCepstralMean) {
  const std::string text = decode(dashwood());
  EXPECT_NE(text.find("dashwood had then leisure to consider how much"), std::string::npos) << text;
}

// Seconds of digital zero before the first speech reach neither the
// decoder nor the mean, and the speech itself is never held back for good,
// whenever it starts against the silence measurement's restarts.
TEST(PocketsphinxDecoderTest, FirstSpeechAfterDigitalSilence) {
  for (const double seconds : {1.3, 2.4, 20.0}) {
    std::vector<std::int16_t> samples(static_cast<std::size_t>(16000 * seconds), 0);
    const std::vector<std::int16_t> speech = dashwood();
    samples.insert(samples.end(), speech.begin(), speech.end());
    for (const std::size_t step : {2048, 320}) {
      const std::string text = decode(samples, step);
      EXPECT_NE(text.find("mr john dashwood"), std::string::npos)
          << seconds << " s, steps of " << step << ": " << text;
    }
  }
}

}  // namespace
}  // namespace tellwyn
