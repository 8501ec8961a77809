#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/linux/pocketsphinx/model_locator.h"
#include "platform/linux/pocketsphinx/utterance_decoder.h"

struct ps_decoder_s;

namespace tellwyn {

// One pocketsphinx decoder with its model loaded: 16 kHz 16-bit mono audio in,
// hypotheses out, with the library's voice activity detection. The library
// writes no log. Loading takes a few tenths of a second. Owned and used by
// one thread at a time.
class PocketsphinxDecoder : public UtteranceDecoder {
 public:
  // Loads the model; fails when pocketsphinx cannot.
  static Result<std::unique_ptr<PocketsphinxDecoder>> load(const ModelFiles& model);

  struct Key {
   private:
    Key() = default;
    friend class PocketsphinxDecoder;
  };
  PocketsphinxDecoder(Key, ps_decoder_s* decoder) : decoder_(decoder) {}
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
  ps_decoder_s* decoder_;
  bool inUtterance_ = false;
};

}  // namespace tellwyn
