#include "platform/sample_ring.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <thread>
#include <vector>

namespace tellwyn {
namespace {

TEST(SampleRingTest, WrapsAroundAndRefusesWhatDoesNotFit) {
  SampleRing ring(6);
  ASSERT_EQ(ring.capacity(), 8u);
  std::vector<float> out(8);
  float next = 0;
  float expected = 0;
  // Many rounds of 5 in, 5 out, so the data crosses the end of the storage.
  for (int round = 0; round < 10; ++round) {
    const std::vector<float> in{next, next + 1, next + 2, next + 3, next + 4};
    next += 5;
    ASSERT_TRUE(ring.push(in));
    EXPECT_FALSE(ring.push(in));  // 5 more do not fit: nothing is added
    EXPECT_EQ(ring.size(), 5u);
    ASSERT_EQ(ring.pop(std::span(out).first(5)), 5u);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(out[i], expected++);
  }
  EXPECT_EQ(ring.pop(out), 0u);
}

TEST(SampleRingTest, ScalesInt16AndDiscardsTheOldest) {
  SampleRing ring(8);
  const std::vector<std::int16_t> in{-32768, -16384, 0, 16384, 32767};
  ASSERT_TRUE(ring.push(in));
  EXPECT_EQ(ring.discard(2), 2u);
  std::vector<float> out(8);
  ASSERT_EQ(ring.pop(out), 3u);
  EXPECT_EQ(out[0], 0.0f);
  EXPECT_EQ(out[1], 0.5f);
  EXPECT_EQ(out[2], 32767.0f / 32768.0f);
  EXPECT_EQ(ring.discard(10), 0u);
}

TEST(SampleRingTest, OneProducerAndOneConsumerThread) {
  SampleRing ring(1024);
  constexpr int kBlocks = 5000;
  constexpr int kBlock = 100;
  std::thread producer([&] {
    std::vector<float> block(kBlock);
    float value = 0;
    for (int b = 0; b < kBlocks; ++b) {
      for (auto& sample : block) sample = value++;
      while (!ring.push(block)) std::this_thread::yield();
    }
  });
  std::vector<float> out(333);
  float expected = 0;
  while (expected < float{kBlocks * kBlock}) {
    const std::size_t got = ring.pop(out);
    for (std::size_t i = 0; i < got; ++i) ASSERT_EQ(out[i], expected++);
    if (got == 0) std::this_thread::yield();
  }
  producer.join();
  EXPECT_EQ(ring.size(), 0u);
}

}  // namespace
}  // namespace tellwyn
