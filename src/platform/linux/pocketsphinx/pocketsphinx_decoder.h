#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "platform/error.h"
#include "platform/linux/pocketsphinx/model_locator.h"

struct ps_decoder_s;

namespace tellwyn {

// One pocketsphinx decoder with its model loaded: 16 kHz 16-bit mono audio in,
// hypotheses out, with the library's voice activity detection. The library
// writes no log. Loading takes a few tenths of a second. Owned and used by
// one thread at a time.
class PocketsphinxDecoder {
 public:
  // Loads the model; fails when pocketsphinx cannot.
  static Result<std::unique_ptr<PocketsphinxDecoder>> load(const ModelFiles& model);

  struct Key {
   private:
    Key() = default;
    friend class PocketsphinxDecoder;
  };
  PocketsphinxDecoder(Key, ps_decoder_s* decoder) : decoder_(decoder) {}
  ~PocketsphinxDecoder();
  PocketsphinxDecoder(const PocketsphinxDecoder&) = delete;
  PocketsphinxDecoder& operator=(const PocketsphinxDecoder&) = delete;

  void startUtterance();
  void process(std::span<const std::int16_t> samples);
  // Whether the voice activity detector hears speech in the current utterance.
  bool inSpeech();
  void endUtterance();
  // The best hypothesis of the current (or just ended) utterance, or empty.
  std::string hypothesis();

 private:
  ps_decoder_s* decoder_;
  bool inUtterance_ = false;
};

}  // namespace tellwyn
