// The scoring half of bench/accuracy: reads what was said (one line) and the
// texts of the finals of one run (one per line, in order) and prints
//   <word errors> <reference words> <repeated words> <first-word errors>
// on one line, with the shared test helpers of tests/support. The repeated
// runs go to standard error.
//
//   accuracy_score_bench REFERENCE_FILE FINALS_FILE
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "../tests/support/transcript_words.h"

int main(int argc, char** argv) {
  using namespace tellwyn::testing;
  if (argc != 3) {
    std::fprintf(stderr, "usage: accuracy_score_bench REFERENCE_FILE FINALS_FILE\n");
    return 2;
  }
  std::ifstream referenceFile(argv[1]);
  std::ifstream finalsFile(argv[2]);
  if (!referenceFile || !finalsFile) {
    std::fprintf(stderr, "accuracy_score_bench: cannot read the files\n");
    return 2;
  }
  std::string reference;
  std::getline(referenceFile, reference);
  std::vector<std::string> finals;
  for (std::string line; std::getline(finalsFile, line);) finals.push_back(line);

  const Words said = splitWords(reference);
  const WordErrors errors = wordErrors(said, joinWords(finals));
  const auto repeats = repeatedRuns(finals, said);
  for (const auto& run : repeats) {
    std::string text;
    for (const auto& word : run.words) text += (text.empty() ? "" : " ") + word;
    std::fprintf(stderr, "final %zu repeats \"%s\"\n", run.finalIndex + 1, text.c_str());
  }
  std::printf("%zu %zu %zu %zu\n", errors.errors, errors.referenceWords, repeatedWordCount(repeats),
              errors.firstWordErrors);
  return 0;
}
