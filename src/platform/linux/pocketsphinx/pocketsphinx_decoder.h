#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "platform/linux/pocketsphinx/cepstral_mean_seed.h"
#include "platform/linux/pocketsphinx/model_locator.h"
#include "platform/linux/pocketsphinx/pocketsphinx_library.h"
#include "platform/linux/pocketsphinx/utterance_decoder.h"

namespace tellwyn {

// One pocketsphinx decoder with its model loaded: 16 kHz 16-bit mono audio in,
// hypotheses out, with the library's voice activity detection. The library
// writes no log and stays loaded while the decoder lives. Loading takes a few
// tenths of a second. The first speech of the decoder's life is held back
// until CepstralMeanSeed knows its cepstral mean (2 s of speech, or less when
// the speech ends sooner), then decoded with that mean; until then the
// decoder hears no speech. Owned and used by one thread at a time.
class PocketsphinxDecoder : public UtteranceDecoder {
 public:
  // Loads the model; fails when the library cannot be opened or cannot load
  // the model.
  static Result<std::unique_ptr<PocketsphinxDecoder>> load(
      std::shared_ptr<PocketsphinxLibrary> library, const ModelFiles& model);

  struct Key {
   private:
    Key() = default;
    friend class PocketsphinxDecoder;
  };
  PocketsphinxDecoder(Key, std::shared_ptr<PocketsphinxLibrary> library,
                      const PocketsphinxFunctions& functions, ps_decoder_t* decoder);
  ~PocketsphinxDecoder() override;
  PocketsphinxDecoder(const PocketsphinxDecoder&) = delete;
  PocketsphinxDecoder& operator=(const PocketsphinxDecoder&) = delete;

  void startUtterance() override;
  void process(std::span<const std::int16_t> samples) override;
  bool inSpeech() override;
  void endUtterance() override;
  std::vector<DecodedWord> words() override;
  int frames() override;

 private:
  // Sets the measured mean and decodes the held audio.
  void releaseHeld();

  const std::shared_ptr<PocketsphinxLibrary> library_;
  const PocketsphinxFunctions& ps_;
  ps_decoder_t* decoder_;
  bool inUtterance_ = false;
  // Until the mean is known: its measurement, and the audio held back.
  std::unique_ptr<CepstralMeanSeed> seed_;
  std::vector<std::int16_t> held_;
};

}  // namespace tellwyn
