// Integer division rounded to the nearest integer, a half going to the even neighbour. The capture
// period (1000 / fps ms: 16 fps gives 62 ms) and the RTP time-stamp step (90000 / fps) both use it,
// so the picture clock and the stream clock can never round apart.
#pragma once

#include <cstdint>

// A denominator of 0 or below has no meaningful quotient and gives 0.
constexpr int64_t RoundHalfEven(int64_t numerator, int64_t denominator) {
  if (denominator <= 0) return 0;
  if (denominator == 1) return numerator;
  // Work on magnitudes so that the most negative numerator does not overflow.
  const bool negative = numerator < 0;
  const uint64_t magnitude =
      negative ? uint64_t{0} - static_cast<uint64_t>(numerator) : static_cast<uint64_t>(numerator);
  const uint64_t divisor = static_cast<uint64_t>(denominator);
  uint64_t quotient = magnitude / divisor;
  const uint64_t remainder = magnitude % divisor;
  const uint64_t rest =
      divisor - remainder;  // remainder * 2 could overflow; compare halves instead
  if (remainder > rest || (remainder == rest && quotient % 2 == 1)) ++quotient;
  return negative ? -static_cast<int64_t>(quotient) : static_cast<int64_t>(quotient);
}
