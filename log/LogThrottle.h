// One log line a second for a kind of event a client can repeat at will (refused connections,
// refused credentials, refused sessions), telling how many happened since the last line, so that
// repeating it cannot fill the log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "platform/Clock.h"

class TLogThrottle {
 public:
  static constexpr std::uint32_t kIntervalMs = 1000;

  // Counts one event at tick `now` (milliseconds, wrapping). Returns how many events the line to
  // write now stands for, this one included; 0 when a line went out less than a second ago.
  std::size_t Count(std::uint32_t now) {
    ++unlogged_;
    if (logged_ && platform::TicksElapsed(last_, now) < kIntervalMs) return 0;
    logged_ = true;
    last_ = now;
    return std::exchange(unlogged_, 0);
  }

 private:
  std::size_t unlogged_ = 0;
  std::uint32_t last_ = 0;
  bool logged_ = false;
};
