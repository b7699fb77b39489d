#include "capture/Rounding.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

TEST(RoundHalfEven, ServesFrameIntervalsAndRtpSteps) {
  struct TCase {
    int64_t numerator, denominator, expected;
  };
  const std::vector<TCase> cases = {
      {1000, 16, 62},
      {1000, 8, 125},
      {1000, 30, 33},
      {1000, 7, 143},
      {1000, 1, 1000},
      {90000, 16, 5625},
      {90000, 7, 12857},
      {90000, 11, 8182},
      {5, 2, 2},
      {7, 2, 4},
      {3, 6, 0},
      {9, 6, 2},
      {-5, 2, -2},
      {-7, 2, -4},
      {-1000, 16, -62},
      {1, 0, 0},
      {1, -3, 0},
      {INT64_MIN, 1, INT64_MIN},
      {INT64_MAX, 2, INT64_MAX / 2 + 1},
      {INT64_MIN, 2, INT64_MIN / 2},
      {INT64_MAX, INT64_MAX, 1},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(RoundHalfEven(c.numerator, c.denominator), c.expected)
        << c.numerator << " / " << c.denominator;
  }
  static_assert(RoundHalfEven(1000, 16) == 62, "usable in constant expressions");
}

}  // namespace
