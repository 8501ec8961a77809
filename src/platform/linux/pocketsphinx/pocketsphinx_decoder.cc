#include "platform/linux/pocketsphinx/pocketsphinx_decoder.h"

namespace tellwyn {

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

PocketsphinxDecoder::~PocketsphinxDecoder() {
  if (inUtterance_) ps_.ps_end_utt(decoder_);
  ps_.ps_free(decoder_);
}

void PocketsphinxDecoder::startUtterance() {
  if (ps_.ps_start_utt(decoder_) >= 0) inUtterance_ = true;
}

void PocketsphinxDecoder::process(std::span<const std::int16_t> samples) {
  if (!inUtterance_ || samples.empty()) return;
  ps_.ps_process_raw(decoder_, samples.data(), samples.size(), FALSE, FALSE);
}

bool PocketsphinxDecoder::inSpeech() { return inUtterance_ && ps_.ps_get_in_speech(decoder_) != 0; }

void PocketsphinxDecoder::endUtterance() {
  if (!inUtterance_) return;
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
