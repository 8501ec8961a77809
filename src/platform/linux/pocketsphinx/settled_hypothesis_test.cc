#include "platform/linux/pocketsphinx/settled_hypothesis.h"

#include <gtest/gtest.h>

namespace tellwyn {
namespace {

TEST(SettledHypothesisTest, AWordIsShownOnceTheDecoderIsPastItsEnd) {
  SettledHypothesis utterance(20);
  const std::vector<DecodedWord> hypothesis = {{"go", 0, 30}, {"forward", 31, 70}};
  utterance.update(hypothesis, 49);
  EXPECT_EQ(utterance.text(), "");
  utterance.update(hypothesis, 50);
  EXPECT_EQ(utterance.text(), "go");
  // A later word settles only after the earlier ones.
  utterance.update({{"go", 0, 30}, {"for", 31, 45}, {"ward", 46, 70}}, 90);
  EXPECT_EQ(utterance.text(), "go for ward");
}

TEST(SettledHypothesisTest, ShownWordsAreNeverRevised) {
  SettledHypothesis utterance(20);
  utterance.update({{"the", 0, 20}, {"new", 21, 40}}, 60);
  ASSERT_EQ(utterance.text(), "the new");
  // The words placed past the end of "new" continue it.
  utterance.update({{"a", 0, 10}, {"gnu", 11, 44}, {"topic", 45, 70}}, 90);
  EXPECT_EQ(utterance.text(), "the new topic");
  EXPECT_EQ(utterance.finish({{"a", 0, 10}, {"new", 11, 40}, {"top", 41, 60}, {"pick", 61, 80}}),
            "the new topic pick");
}

TEST(SettledHypothesisTest, FinishAddsTheUnsettledWordsAndStartsOver) {
  SettledHypothesis utterance(20);
  utterance.update({{"ten", 0, 30}, {"me", 31, 50}}, 55);
  EXPECT_EQ(utterance.text(), "ten");
  EXPECT_EQ(utterance.finish({{"ten", 0, 30}, {"meters", 31, 60}}), "ten meters");
  EXPECT_EQ(utterance.text(), "");
  EXPECT_EQ(utterance.finish({}), "");
}

TEST(SettledHypothesisTest, AWordTheDecoderRevisesWithinASecondOfItsEndIsNotShown) {
  // The first-pass search heard "dashwood" as "guess" until 0.9 s past its
  // end, and its end-of-utterance text had it right.
  SettledHypothesis utterance;
  utterance.update({{"john", 0, 30}, {"guess", 31, 70}, {"and", 71, 90}}, 70 + 90);
  EXPECT_EQ(utterance.text(), "john");
  EXPECT_EQ(utterance.finish({{"john", 0, 30}, {"dashwood", 31, 70}, {"and", 71, 90}}),
            "john dashwood and");
}

}  // namespace
}  // namespace tellwyn
