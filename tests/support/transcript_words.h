#pragma once

// Word-level measures of a recognized transcript against what was said, for
// the end-to-end tests and for bench/accuracy (through
// bench/accuracy_score_bench.cc): word error rate, words that a final repeats
// from an earlier final of the same run, and errors among the first words.
// Header only, so the benchmarks use it without the tests' library. Pure
// functions; any thread.

#include <algorithm>
#include <cstddef>
#include <sstream>
#include <string>
#include <vector>

namespace tellwyn::testing {

using Words = std::vector<std::string>;

// The white-space separated words of `text`.
inline Words splitWords(const std::string& text) {
  std::istringstream in(text);
  Words words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// The words of all `texts`, in order.
inline Words joinWords(const std::vector<std::string>& texts) {
  Words words;
  for (const auto& text : texts) {
    const Words more = splitWords(text);
    words.insert(words.end(), more.begin(), more.end());
  }
  return words;
}

struct WordErrors {
  std::size_t errors = 0;           // substitutions + deletions + insertions
  std::size_t referenceWords = 0;   // words said
  std::size_t firstWordErrors = 0;  // errors on the first `firstWords` words said
  double rate() const {
    return referenceWords == 0 ? 0.0
                               : static_cast<double>(errors) / static_cast<double>(referenceWords);
  }
};

// The least number of word substitutions, deletions and insertions that turn
// `reference` into `hypothesis`, and how many of them fall on the first
// `firstWords` words of the reference (with the words inserted before the
// last of them).
inline WordErrors wordErrors(const Words& reference, const Words& hypothesis,
                             std::size_t firstWords = 3) {
  const std::size_t rows = reference.size() + 1;
  const std::size_t columns = hypothesis.size() + 1;
  std::vector<std::size_t> cost(rows * columns);
  auto at = [&](std::size_t r, std::size_t h) -> std::size_t& { return cost[r * columns + h]; };
  for (std::size_t r = 0; r < rows; ++r) at(r, 0) = r;
  for (std::size_t h = 0; h < columns; ++h) at(0, h) = h;
  for (std::size_t r = 1; r < rows; ++r) {
    for (std::size_t h = 1; h < columns; ++h) {
      const std::size_t change = reference[r - 1] == hypothesis[h - 1] ? 0 : 1;
      at(r, h) = std::min({at(r - 1, h - 1) + change, at(r - 1, h) + 1, at(r, h - 1) + 1});
    }
  }
  WordErrors result{at(rows - 1, columns - 1), reference.size(), 0};
  // Walk one cheapest alignment back from the end, counting the errors on
  // the first reference words.
  std::size_t r = rows - 1;
  std::size_t h = columns - 1;
  while (r > 0 || h > 0) {
    const bool early = r <= firstWords;
    if (r > 0 && h > 0 &&
        at(r, h) == at(r - 1, h - 1) + (reference[r - 1] == hypothesis[h - 1] ? 0 : 1)) {
      if (early && reference[r - 1] != hypothesis[h - 1]) ++result.firstWordErrors;
      --r;
      --h;
    } else if (r > 0 && at(r, h) == at(r - 1, h) + 1) {
      if (early) ++result.firstWordErrors;
      --r;
    } else {
      if (r < firstWords) ++result.firstWordErrors;  // inserted before word r
      --h;
    }
  }
  return result;
}

// How often the run `words[at, at + length)` occurs in `text`.
inline std::size_t occurrences(const Words& text, const Words& words, std::size_t at,
                               std::size_t length) {
  std::size_t count = 0;
  for (std::size_t start = 0; start + length <= text.size(); ++start) {
    if (std::equal(words.begin() + static_cast<std::ptrdiff_t>(at),
                   words.begin() + static_cast<std::ptrdiff_t>(at + length),
                   text.begin() + static_cast<std::ptrdiff_t>(start))) {
      ++count;
    }
  }
  return count;
}

// A run of words that a final repeats from earlier finals.
struct RepeatedRun {
  std::size_t finalIndex = 0;  // which final repeats it
  Words words;
};

// The runs of `minimumRun` or more words in each final that the finals before
// it already carried (their words joined in order), longest first at each
// place. A run that `reference` itself says more than once is not counted
// unless the finals carry it more often than the reference does.
inline std::vector<RepeatedRun> repeatedRuns(const std::vector<std::string>& finals,
                                             const Words& reference = {},
                                             std::size_t minimumRun = 3) {
  std::vector<RepeatedRun> runs;
  Words earlier;
  for (std::size_t index = 0; index < finals.size(); ++index) {
    const Words words = splitWords(finals[index]);
    for (std::size_t at = 0; at < words.size();) {
      std::size_t length = 0;
      for (std::size_t candidate = minimumRun; at + candidate <= words.size(); ++candidate) {
        if (occurrences(earlier, words, at, candidate) == 0) break;
        length = candidate;
      }
      if (length > 0 &&
          occurrences(earlier, words, at, length) >= occurrences(reference, words, at, length)) {
        runs.push_back({index, Words(words.begin() + static_cast<std::ptrdiff_t>(at),
                                     words.begin() + static_cast<std::ptrdiff_t>(at + length))});
        at += length;
      } else {
        ++at;
      }
    }
    earlier.insert(earlier.end(), words.begin(), words.end());
  }
  return runs;
}

// The number of words in the runs of repeatedRuns().
inline std::size_t repeatedWordCount(const std::vector<RepeatedRun>& runs) {
  std::size_t count = 0;
  for (const auto& run : runs) count += run.words.size();
  return count;
}

}  // namespace tellwyn::testing
