#include "platform/Clock.h"

#include <time.h>

#include <cstdint>

namespace platform {
namespace {

class TSystemClock final : public TClock {
 public:
  TLocalDateTime LocalNow() const override {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    return {.year = local.tm_year + 1900,
            .month = local.tm_mon + 1,
            .day = local.tm_mday,
            .hour = local.tm_hour,
            .minute = local.tm_min,
            .second = local.tm_sec,
            .millisecond = static_cast<int>(now.tv_nsec / 1'000'000)};
  }

  std::uint32_t TickCount() const override {
    // The monotonic clock does not jump when the user or NTP sets the time, which would break
    // time-outs measured in ticks.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t milliseconds = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                                       static_cast<std::uint64_t>(now.tv_nsec / 1'000'000);
    return static_cast<std::uint32_t>(milliseconds);
  }
};

}  // namespace

const TClock& SystemClock() {
  static const TSystemClock clock;
  return clock;
}

}  // namespace platform
