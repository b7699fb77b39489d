// Wall-clock and tick time. Code whose behaviour depends on time takes a TClock, so tests can pass
// a fake one instead of waiting.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>

namespace platform {

// A local date and time as the user's own clock shows it.
struct TLocalDateTime {
  int year = 1970;
  int month = 1;  // 1..12
  int day = 1;    // 1..31
  int hour = 0;   // 0..23
  int minute = 0;
  int second = 0;
  int millisecond = 0;

  friend bool operator==(const TLocalDateTime&, const TLocalDateTime&) = default;
};

class TClock {
 public:
  virtual ~TClock() = default;

  virtual TLocalDateTime LocalNow() const = 0;

  // Milliseconds since an arbitrary start; wraps around to 0 after 2^32 - 1 (about 49.7 days), so
  // compare two readings only through TicksElapsed.
  virtual std::uint32_t TickCount() const = 0;

  // Microseconds since 1970-01-01 00:00 UTC: the time other machines compare with their own, as
  // in RTCP sender reports. Not for measuring intervals: it jumps when the time is set.
  virtual std::int64_t UtcMicroseconds() const;
  // Microseconds on the clock of MonotonicMicroseconds, which frame capture times are taken on.
  virtual std::int64_t MonotonicMicros() const;
};

// The local date and time read as if it were UTC, in milliseconds since 1970-01-01 00:00: the time
// stamp peers of this system expect, with no time-zone correction.
constexpr std::int64_t LocalMillisecondsSince1970(const TLocalDateTime& t) {
  using namespace std::chrono;
  const sys_days date{year{t.year} / month{static_cast<unsigned>(t.month)} /
                      day{static_cast<unsigned>(t.day)}};
  return date.time_since_epoch().count() * std::int64_t{86400000} +
         ((t.hour * 60 + t.minute) * 60 + t.second) * std::int64_t{1000} + t.millisecond;
}

// The same date and time as the C library's broken-down time, daylight saving left to it.
inline std::tm ToTm(const TLocalDateTime& t) {
  std::tm fields{};
  fields.tm_year = t.year - 1900;
  fields.tm_mon = t.month - 1;
  fields.tm_mday = t.day;
  fields.tm_hour = t.hour;
  fields.tm_min = t.minute;
  fields.tm_sec = t.second;
  fields.tm_isdst = -1;
  return fields;
}

// The operating system's clock; usable from any thread.
const TClock& SystemClock();

// Microseconds since an arbitrary start on a clock that never jumps nor wraps: for measuring how
// long things take across threads.
inline std::int64_t MonotonicMicroseconds() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

// Milliseconds from the reading `since` to the later reading `now`, also when the counter wrapped
// in between (intervals up to 2^32 - 1 ms).
constexpr std::uint32_t TicksElapsed(std::uint32_t since, std::uint32_t now) {
  return now - since;
}

inline std::int64_t TClock::UtcMicroseconds() const {
  using namespace std::chrono;
  return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

inline std::int64_t TClock::MonotonicMicros() const {
  return MonotonicMicroseconds();
}

}  // namespace platform
