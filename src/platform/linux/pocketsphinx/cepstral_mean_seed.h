#pragma once

#include <cstdint>
#include <span>
#include <vector>

struct cmd_ln_s;
struct fe_s;

namespace tellwyn {

struct PocketsphinxFunctions;

// The cepstral mean of the first speech of a run, measured by a front end of
// its own made with the decoder's configuration (the same features and the
// same voice activity detection), so the decoder can normalise that speech
// with its own mean instead of the model's initial one.
//
// Why: the decoder subtracts a running mean from the cepstra, starting from
// the model's (c0 41.0, where the librivox recordings average about 53) and
// updated with a weight of 5 s of earlier speech, so the first seconds of a
// run are decoded against a mean far from the speaker's. Decoding the 13
// recordings of bench/accuracy with the mean of their first 2 s of speech
// made 33 word errors on the real recordings instead of 44 (142 words), and
// 218 instead of 217 on the synthetic ones (585 words); the first 1 s of
// speech (37 and 224) and the first 3 s (33 and 220) did less well.
//
// One thread at a time.
class CepstralMeanSeed {
 public:
  // Frames of speech (10 ms each) the mean is taken over.
  static constexpr int kSpeechFrames = 200;

  // A front end made from `config` with the library's functions `ps` (which
  // must outlive it); none when the library cannot make one.
  // `startsInSilence`: the audio is known to begin with silence, so speech
  // counts only once the detector has once heard silence, or after its
  // first second (speech that began in the start-up is not lost).
  CepstralMeanSeed(const PocketsphinxFunctions& ps, cmd_ln_s* config, bool startsInSilence);
  ~CepstralMeanSeed();
  CepstralMeanSeed(const CepstralMeanSeed&) = delete;
  CepstralMeanSeed& operator=(const CepstralMeanSeed&) = delete;

  // Measures the next samples of the audio. True once the mean is known:
  // kSpeechFrames of speech were heard, or that speech ended sooner.
  bool add(std::span<const std::int16_t> samples);
  // Whether any speech was heard so far.
  bool heardSpeech() const { return frames_ > 0; }
  // Whether the voice activity detector takes the latest audio for speech.
  bool inSpeech() const;
  // The mean of the speech frames heard; empty when none were.
  std::vector<float> mean() const;

 private:
  static constexpr std::size_t kRows = 32;  // frames taken from the front end at a time
  // The detector's start-up: it takes the first 0.9 s or so of silence for
  // speech.
  static constexpr std::size_t kWarmUpSamples = 16000;

  const PocketsphinxFunctions& ps_;
  fe_s* frontEnd_;
  std::vector<double> sum_;
  std::vector<float> cepstra_;  // kRows frames
  float quietest_ = 0;          // frames with a lower c0 are not speech
  bool warmedUp_ = false;
  const bool startsInSilence_;
  std::size_t seen_ = 0;  // samples measured
  int frames_ = 0;
  bool ended_ = false;
};

}  // namespace tellwyn
