// Whether the pipeline should capture: while a session plays, and for a while after a client asked
// for the stream's description. A client describes before it sets up, and strict clients want the
// description to carry the parameter sets that only an encoded key frame gives; a client that
// never goes on to play must not keep the desktop captured for ever.
#pragma once

#include <atomic>
#include <chrono>

class TCaptureDemand {
 public:
  using TClock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kDescribeHold{30};

  // A description was asked for at now: capture until now + kDescribeHold.
  void Describing(TClock::time_point now) {
    heldUntil_.store((now + kDescribeHold).time_since_epoch().count(), std::memory_order_relaxed);
  }

  // Playing sessions take the hold over: once none plays, capture stops at once instead of
  // running out an earlier description's hold.
  bool Wanted(TClock::time_point now, bool playing) {
    if (playing) {
      heldUntil_.store(0, std::memory_order_relaxed);
      return true;
    }
    return now.time_since_epoch().count() < heldUntil_.load(std::memory_order_relaxed);
  }

 private:
  std::atomic<TClock::rep> heldUntil_{0};
};
