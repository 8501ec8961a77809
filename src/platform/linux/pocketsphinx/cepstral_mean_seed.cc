#include "platform/linux/pocketsphinx/cepstral_mean_seed.h"

#include <sphinxbase/fe.h>

#include <array>
#include <type_traits>

namespace tellwyn {

static_assert(std::is_same_v<mfcc_t, float>, "the library computes cepstra as floats");

CepstralMeanSeed::CepstralMeanSeed(cmd_ln_s* config) : frontEnd_(fe_init_auto_r(config)) {
  if (frontEnd_ == nullptr) return;
  sum_.assign(static_cast<std::size_t>(fe_get_output_size(frontEnd_)), 0.0);
  cepstra_.resize(kRows * sum_.size());
  fe_start_utt(frontEnd_);
}

CepstralMeanSeed::~CepstralMeanSeed() {
  if (frontEnd_ != nullptr) fe_free(frontEnd_);
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
    fe_process_frames(frontEnd_, &next, &left, rows.data(), &produced, nullptr);
    for (int32 row = 0; row < produced; ++row) {
      if (rows[row][0] < 0) continue;  // no energy: digital silence
      for (std::size_t j = 0; j < width; ++j) sum_[j] += rows[row][j];
      ++frames_;
    }
    if (produced == 0 && left == before) break;
  }
  if (heardSpeech() && fe_get_vad_state(frontEnd_) == 0) ended_ = true;
  return ended_ || frames_ >= kSpeechFrames;
}

std::vector<float> CepstralMeanSeed::mean() const {
  if (frames_ == 0) return {};
  std::vector<float> result(sum_.size());
  for (std::size_t j = 0; j < sum_.size(); ++j) result[j] = static_cast<float>(sum_[j] / frames_);
  return result;
}

}  // namespace tellwyn
