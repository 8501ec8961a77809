#include "platform/clock_duration.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>

namespace tellwyn {
namespace {

using Duration = std::chrono::steady_clock::duration;
using std::chrono::nanoseconds;

TEST(ClockDurationTest, ConvertsOrSaturates) {
  struct Case {
    double seconds;
    Duration expected;
  };
  const double kInfinity = std::numeric_limits<double>::infinity();
  const Case cases[] = {
      {0.1, nanoseconds(100'000'000)},
      {1.2, nanoseconds(1'200'000'000)},
      {0, Duration::zero()},
      {-5, Duration::zero()},
      {-kInfinity, Duration::zero()},
      {std::nan(""), Duration::zero()},
      // Silence delays of 1e12, 1e13 and 1e308 ms and infinity, in seconds:
      // the first fits the clock, the others do not and mean never.
      {1e9, nanoseconds(1'000'000'000'000'000'000)},
      {1e10, Duration::max()},
      {1e305, Duration::max()},
      {kInfinity, Duration::max()},
      // The same values taken as seconds.
      {1e12, Duration::max()},
      {1e13, Duration::max()},
      {1e308, Duration::max()},
      {std::numeric_limits<double>::max(), Duration::max()},
      // Just inside and just past the clock's range (2^63 ns).
      {9e9, nanoseconds(9'000'000'000'000'000'000)},
      {9223372037.0, Duration::max()},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(clockDuration(c.seconds), c.expected) << c.seconds;
  }
}

TEST(ClockDurationTest, HugeIntervalsNeverComeBeforeSmallerOnes) {
  // The overflow this guards against made a huge interval negative.
  Duration previous = Duration::zero();
  for (double seconds = 1e-3; seconds < 1e300; seconds *= 7.3) {
    const Duration now = clockDuration(seconds);
    EXPECT_GE(now, previous) << seconds;
    EXPECT_GT(now, Duration::zero()) << seconds;
    previous = now;
  }
}

}  // namespace
}  // namespace tellwyn
