#include "platform/linux/pocketsphinx/pocketsphinx_decoder.h"

#include <sphinxbase/feat.h>

namespace tellwyn {
namespace {

// Audio kept before any speech is heard: enough for the voice activity
// detector's look-back and its noise estimate.
constexpr std::size_t kHeldBeforeSpeech = 8000;

}  // namespace

Result<std::unique_ptr<PocketsphinxDecoder>> PocketsphinxDecoder::load(
    std::shared_ptr<PocketsphinxLibrary> library, const ModelFiles& model) {
  auto opened = library->open();
  if (!opened) return opened.error();
  const PocketsphinxFunctions& ps = *opened.value();
  // No "-logfn": it would reopen the process-wide log from this thread.
  // Only the first-pass search: its hypothesis is what the partial results
  // show, and the rescoring passes at the end of an utterance (-fwdflat,
  // -bestpath) cost a burst of CPU for no fewer word errors on long speech.
  cmd_ln_t* config =
      ps.cmd_ln_init(nullptr, ps.ps_args(), TRUE, "-hmm", model.acousticModelDir.c_str(), "-lm",
                     model.languageModel.c_str(), "-dict", model.dictionary.c_str(), "-samprate",
                     "16000", "-fwdflat", "no", "-bestpath", "no", nullptr);
  if (config == nullptr) {
    return Error{"tellwyn.recognizer", 1, "Speech recognizer could not be configured"};
  }
  ps.ps_default_search_args(config);
  ps_decoder_t* decoder = ps.ps_init(config);
  ps.cmd_ln_free_r(config);  // the decoder keeps its own reference
  if (decoder == nullptr) {
    return Error{"tellwyn.recognizer", 2,
                 "Speech recognizer could not load its model from " + model.acousticModelDir};
  }
  return std::make_unique<PocketsphinxDecoder>(Key{}, std::move(library), ps, decoder);
}

PocketsphinxDecoder::PocketsphinxDecoder(Key, std::shared_ptr<PocketsphinxLibrary> library,
                                         const PocketsphinxFunctions& functions,
                                         ps_decoder_t* decoder)
    : library_(std::move(library)),
      ps_(functions),
      decoder_(decoder),
      seed_(std::make_unique<CepstralMeanSeed>(ps_, ps_.ps_get_config(decoder), false)) {}

PocketsphinxDecoder::~PocketsphinxDecoder() {
  if (inUtterance_) ps_.ps_end_utt(decoder_);
  ps_.ps_free(decoder_);
}

void PocketsphinxDecoder::startUtterance() {
  if (ps_.ps_start_utt(decoder_) >= 0) inUtterance_ = true;
}

void PocketsphinxDecoder::process(std::span<const std::int16_t> samples) {
  if (!inUtterance_ || samples.empty()) return;
  if (!seed_) {
    ps_.ps_process_raw(decoder_, samples.data(), samples.size(), FALSE, FALSE);
    return;
  }
  held_.insert(held_.end(), samples.begin(), samples.end());
  bool known = seed_->add(samples);
  if (!known && !seed_->heardSpeech() && !seed_->inSpeech() &&
      held_.size() >= 2 * kHeldBeforeSpeech) {
    // No speech yet: drop the older silence, and measure afresh from what is
    // left. Neither the decoder nor the seed sees more than a few seconds of
    // silence before the first speech: after 3 s or more of digital zero
    // (or a noise floor of a bit or two), the library's noise removal
    // garbles the first words ("and mister john dashwood" came out as
    // "church up then unleash you").
    held_.erase(held_.begin(), held_.end() - static_cast<std::ptrdiff_t>(kHeldBeforeSpeech));
    seed_ = std::make_unique<CepstralMeanSeed>(ps_, ps_.ps_get_config(decoder_), true);
    known = seed_->add(held_);
  }
  if (known) releaseHeld();
}

void PocketsphinxDecoder::releaseHeld() {
  if (const std::vector<float> mean = seed_->mean(); !mean.empty()) {
    ps_.cmn_live_set(ps_.ps_get_feat(decoder_)->cmn_struct, mean.data());
  }
  seed_.reset();
  if (!held_.empty()) ps_.ps_process_raw(decoder_, held_.data(), held_.size(), FALSE, FALSE);
  held_ = {};
}

bool PocketsphinxDecoder::inSpeech() { return inUtterance_ && ps_.ps_get_in_speech(decoder_) != 0; }

void PocketsphinxDecoder::endUtterance() {
  if (!inUtterance_) return;
  if (seed_) releaseHeld();
  ps_.ps_end_utt(decoder_);
  inUtterance_ = false;
}

std::vector<DecodedWord> PocketsphinxDecoder::words() {
  std::vector<DecodedWord> result;
  for (ps_seg_t* segment = ps_.ps_seg_iter(decoder_); segment != nullptr;
       segment = ps_.ps_seg_next(segment)) {
    std::string text = ps_.ps_seg_word(segment);
    // Silences and noises: "<s>", "</s>", "<sil>", "[NOISE]" and the like.
    if (text.empty() || text.front() == '<' || text.front() == '[' || text.front() == '+') continue;
    // Alternative pronunciations are "word(2)"; the word is the same.
    if (const auto open = text.find('('); open != std::string::npos && open > 0) text.resize(open);
    int start = 0;
    int end = 0;
    ps_.ps_seg_frames(segment, &start, &end);
    result.push_back({std::move(text), start, end});
  }
  return result;
}

int PocketsphinxDecoder::frames() { return ps_.ps_get_n_frames(decoder_); }

}  // namespace tellwyn
