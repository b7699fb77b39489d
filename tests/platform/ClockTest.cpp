#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <thread>

#include "platform/Clock.h"

namespace {

TEST(Clock, LocalNowIsTheLocalTimeOfTheCLibrary) {
  const std::time_t before = std::time(nullptr);
  const platform::TLocalDateTime now = platform::SystemClock().LocalNow();
  const std::time_t after = std::time(nullptr);

  EXPECT_GE(now.millisecond, 0);
  EXPECT_LE(now.millisecond, 999);
  std::tm fields{};
  fields.tm_year = now.year - 1900;
  fields.tm_mon = now.month - 1;
  fields.tm_mday = now.day;
  fields.tm_hour = now.hour;
  fields.tm_min = now.minute;
  fields.tm_sec = now.second;
  fields.tm_isdst = -1;
  // mktime reads the fields as local time.
  const std::time_t seconds = std::mktime(&fields);
  EXPECT_GE(seconds, before - 1);
  EXPECT_LE(seconds, after + 1);
}

TEST(Clock, TickCountFollowsRealTime) {
  const std::uint32_t start = platform::SystemClock().TickCount();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const std::uint32_t elapsed = platform::TicksElapsed(start, platform::SystemClock().TickCount());
  EXPECT_GE(elapsed, 45u);
  EXPECT_LT(elapsed, 5000u);
}

}  // namespace
