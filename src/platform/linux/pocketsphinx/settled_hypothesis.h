#pragma once

#include <string>
#include <vector>

#include "platform/linux/pocketsphinx/utterance_decoder.h"

namespace tellwyn {

// The text of one utterance as the partial results show it: the words of the
// decoder's running hypothesis that have settled, in order. A word settles
// once the decoder has searched `settleFrames` frames past its end; from then
// on it is shown and never revised. When the utterance ends, the words of the
// last hypothesis that come after the shown ones are added. So everything a
// partial result ever showed is the beginning of every later transcript of the
// task: a final forced by the silence timer at any moment, also in the middle
// of an utterance, is never sent again in another form.
//
// Why settling and not the newest hypothesis: the first-pass search revises
// the newest word of its hypothesis at about every other step (a word still
// being spoken is first heard as a shorter one), and now and then a word that
// ended up to a second earlier. Over the 13 recordings of bench/accuracy
// (727 words, real and synthetic speech), the latest revision of a word came
// up to 1.03 s after its end (half of them within 0.3 s, nine tenths within
// 0.7 s). Showing words 0.5 s after their end froze "dashwood and then at
// leisure" as "guess and then at unleash your" and added 13 word errors to
// the decoder's own end-of-utterance text (274 against 261); 0.8 s added 1,
// and 1 s none, on the real and the synthetic recordings alike. So a partial
// result shows a word a second after its end; the end of an utterance (half
// a second of silence) shows all of it at once.
//
// A hypothesis that no longer begins with the shown words continues after
// them with its words whose middle lies past the end of the last shown word.
//
// One thread (the decoder thread).
class SettledHypothesis {
 public:
  static constexpr int kSettleFrames = 100;

  explicit SettledHypothesis(int settleFrames = kSettleFrames) : settleFrames_(settleFrames) {}

  // Takes the running hypothesis after `frames` frames of the utterance.
  void update(const std::vector<DecodedWord>& hypothesis, int frames);
  // The utterance ended with `hypothesis`: returns the shown words with the
  // hypothesis' words after them, and starts over for the next utterance.
  std::string finish(const std::vector<DecodedWord>& hypothesis);
  // The shown words joined by single spaces.
  std::string text() const;

 private:
  std::vector<DecodedWord> after(const std::vector<DecodedWord>& hypothesis) const;

  const int settleFrames_;
  std::vector<DecodedWord> shown_;
};

}  // namespace tellwyn
