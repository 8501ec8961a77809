#include "platform/linux/pocketsphinx/cepstral_mean_seed.h"

#include <array>
#include <cstdlib>
#include <type_traits>

#include "platform/linux/pocketsphinx/pocketsphinx_library.h"

namespace tellwyn {

static_assert(std::is_same_v<mfcc_t, float>, "the library computes cepstra as floats");

CepstralMeanSeed::CepstralMeanSeed(const PocketsphinxFunctions& ps, cmd_ln_s* config,
                                   bool startsInSilence)
    : ps_(ps), frontEnd_(ps.fe_init_auto_r(config)), startsInSilence_(startsInSilence) {
  // Half the model's initial c0 (41): digital zero gives about 1, a noise
  // floor 54 dB below full scale about 25, speech 40 to 60.
  if (const char* initial = ps_.cmd_ln_str_r(config, "-cmninit"); initial != nullptr) {
    quietest_ = static_cast<float>(std::strtod(initial, nullptr) / 2);
  }
  if (frontEnd_ == nullptr) return;
  sum_.assign(static_cast<std::size_t>(ps_.fe_get_output_size(frontEnd_)), 0.0);
  cepstra_.resize(kRows * sum_.size());
  ps_.fe_start_utt(frontEnd_);
}

CepstralMeanSeed::~CepstralMeanSeed() {
  if (frontEnd_ != nullptr) ps_.fe_free(frontEnd_);
}

bool CepstralMeanSeed::add(std::span<const std::int16_t> samples) {
  if (frontEnd_ == nullptr) return true;
  const std::size_t width = sum_.size();
  std::array<mfcc_t*, kRows> rows{};
  for (std::size_t row = 0; row < kRows; ++row) rows[row] = cepstra_.data() + row * width;
  const std::int16_t* next = samples.data();
  std::size_t left = samples.size();
  for (;;) {
    int32 produced = kRows;
    const std::size_t before = left;
    // With the configuration's -remove_silence the front end gives only the
    // frames its voice activity detector takes for speech.
    ps_.fe_process_frames(frontEnd_, &next, &left, rows.data(), &produced, nullptr);
    // The detector starts out hearing speech in whatever comes first, and
    // takes most of a second to learn the noise: in 20 s of digital zero or
    // of a faint noise floor it heard 0.9 s of "speech" at the start.
    seen_ += before - left;
    for (int32 row = 0; row < (warmedUp_ ? produced : 0); ++row) {
      if (rows[row][0] < quietest_) continue;  // digital silence, or close to it
      for (std::size_t j = 0; j < width; ++j) sum_[j] += rows[row][j];
      ++frames_;
    }
    if (!warmedUp_) {
      warmedUp_ = !startsInSilence_ || !inSpeech() || seen_ >= kWarmUpSamples;
    }
    if (produced == 0 && left == before) break;
  }
  if (heardSpeech() && !inSpeech()) ended_ = true;
  return ended_ || frames_ >= kSpeechFrames;
}

bool CepstralMeanSeed::inSpeech() const {
  return frontEnd_ != nullptr && ps_.fe_get_vad_state(frontEnd_) != 0;
}

std::vector<float> CepstralMeanSeed::mean() const {
  if (frames_ == 0) return {};
  std::vector<float> result(sum_.size());
  for (std::size_t j = 0; j < sum_.size(); ++j) result[j] = static_cast<float>(sum_[j] / frames_);
  return result;
}

}  // namespace tellwyn
