#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tellwyn {

// One word of a hypothesis, with the frames (10 ms each, counted from the
// start of its utterance) in which the decoder places it.
struct DecodedWord {
  std::string text;
  int startFrame = 0;
  int endFrame = 0;

  bool operator==(const DecodedWord&) const = default;
};

// A speech decoder working through one utterance at a time: 16 kHz 16-bit
// mono audio in, its best hypothesis out, with voice activity detection that
// tells when speech is heard. The recognition worker drives it; tests drive
// the worker with a scripted one. Owned and used by one thread at a time.
class UtteranceDecoder {
 public:
  virtual ~UtteranceDecoder() = default;

  virtual void startUtterance() = 0;
  virtual void process(std::span<const std::int16_t> samples) = 0;
  // Whether the voice activity detector hears speech in the current utterance.
  virtual bool inSpeech() = 0;
  virtual void endUtterance() = 0;
  // The best hypothesis of the current (or just ended) utterance, words only
  // (no silences or noises), in order.
  virtual std::vector<DecodedWord> words() = 0;
  // How many frames the current utterance has searched so far.
  virtual int frames() = 0;
};

}  // namespace tellwyn
