#include "platform/linux/pocketsphinx/settled_hypothesis.h"

#include <algorithm>

namespace tellwyn {

void SettledHypothesis::update(const std::vector<DecodedWord>& hypothesis, int frames) {
  for (const DecodedWord& word : after(hypothesis)) {
    if (word.endFrame > frames - settleFrames_) break;
    shown_.push_back(word);
  }
}

std::string SettledHypothesis::finish(const std::vector<DecodedWord>& hypothesis) {
  const std::vector<DecodedWord> rest = after(hypothesis);
  shown_.insert(shown_.end(), rest.begin(), rest.end());
  std::string result = text();
  shown_.clear();
  return result;
}

std::string SettledHypothesis::text() const {
  std::string result;
  for (const DecodedWord& word : shown_) {
    if (!result.empty()) result += ' ';
    result += word.text;
  }
  return result;
}

std::vector<DecodedWord> SettledHypothesis::after(
    const std::vector<DecodedWord>& hypothesis) const {
  const bool extendsShown =
      hypothesis.size() >= shown_.size() &&
      std::equal(shown_.begin(), shown_.end(), hypothesis.begin(),
                 [](const DecodedWord& a, const DecodedWord& b) { return a.text == b.text; });
  if (extendsShown) {
    return {hypothesis.begin() + static_cast<std::ptrdiff_t>(shown_.size()), hypothesis.end()};
  }
  const int shownEnd = shown_.back().endFrame;
  std::vector<DecodedWord> rest;
  for (const DecodedWord& word : hypothesis) {
    if (word.startFrame + word.endFrame > 2 * shownEnd) rest.push_back(word);
  }
  return rest;
}

}  // namespace tellwyn
