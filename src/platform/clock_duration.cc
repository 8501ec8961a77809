#include "platform/clock_duration.h"

namespace tellwyn {

std::chrono::steady_clock::duration clockDuration(double seconds) {
  using Duration = std::chrono::steady_clock::duration;
  using Period = Duration::period;
  if (!(seconds > 0)) return Duration::zero();
  const double ticks =
      seconds * static_cast<double>(Period::den) / static_cast<double>(Period::num);
  // The largest count rounds up to a power of two as a double; every double
  // below it converts to the count's type without overflow.
  if (ticks >= static_cast<double>(Duration::max().count())) return Duration::max();
  return Duration(static_cast<Duration::rep>(ticks));
}

}  // namespace tellwyn
