#pragma once

#include <chrono>

namespace tellwyn {

// Converts an interval in seconds to the steady clock's own duration, the one
// conversion every timer and sleep uses. An interval longer than the clock
// can hold (about 292 years), infinity included, saturates to the longest
// duration, which a timer treats as never; zero, negative and not-a-number
// intervals become zero. A plain duration_cast would overflow instead and
// turn a huge interval into a negative one that expires at once. Any thread.
std::chrono::steady_clock::duration clockDuration(double seconds);

}  // namespace tellwyn
