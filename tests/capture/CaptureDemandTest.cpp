#include "capture/CaptureDemand.h"

#include <gtest/gtest.h>

namespace {

using std::chrono::seconds;

// One demand lived through step by step: each row happens some seconds after the start.
TEST(CaptureDemand, ADescriptionHoldsTheCaptureUntilSessionsTakeOverOrItRunsOut) {
  struct Step {
    const char* what;
    int at;
    bool describe;
    bool hasSessions;
    bool wanted;
  };
  const Step steps[] = {
      {"idle at start", 0, false, false, false},
      {"a description starts it", 1, true, false, true},
      {"still held before play", 30, false, false, true},
      {"held no longer after 30 s without play", 31, false, false, false},
      {"described again", 40, true, false, true},
      {"a session plays", 41, false, true, true},
      {"session gone: stops at once", 42, false, false, false},
  };
  TCaptureDemand demand;
  const TCaptureDemand::TClock::time_point start{seconds(1000)};
  for (const Step& step : steps) {
    const auto now = start + seconds(step.at);
    if (step.describe) demand.Describing(now);
    EXPECT_EQ(demand.Wanted(now, step.hasSessions), step.wanted) << step.what;
  }
}

}  // namespace
