// A clock that tests move by hand, so that time-outs and pacing are reached without sleeping. The
// tick may be moved while other threads read it.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/Clock.h"

class FakeClock : public platform::TClock {
 public:
  explicit FakeClock(platform::TLocalDateTime localTime = {2026, 12, 7, 14, 23, 5, 0},
                     std::uint32_t startTick = 5000)
      : local(localTime), tick(startTick) {}
  platform::TLocalDateTime LocalNow() const override { return local; }
  std::uint32_t TickCount() const override { return tick.load(); }
  std::int64_t UtcMicroseconds() const override { return utcMicros.load(); }
  std::int64_t MonotonicMicros() const override { return monotonicMicros.load(); }

  platform::TLocalDateTime local;
  std::atomic<std::uint32_t> tick;
  std::atomic<std::int64_t> utcMicros{1'796'000'000'000'000};  // late 2026
  std::atomic<std::int64_t> monotonicMicros{1'000'000};
};
