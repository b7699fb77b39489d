// How many lines each network source may have written to the log: a client repeating a request
// thousands of times a second would otherwise push every earlier line out of the log files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// Counts lines per source in one-second windows; not thread-safe, the log calls it under its lock.
class TLogFloodGuard {
 public:
  // A player's whole visit (connect, describe, set up, play, tear down) logs some 15 lines, and a
  // recorder opens several streams at once from one address.
  static constexpr std::size_t kLinesPerWindow = 100;
  static constexpr std::uint32_t kWindowMs = 1000;
  // Sources counted one by one; lines from further sources in the same second share one count, so
  // many addresses gain an attacker no more lines than one.
  static constexpr std::size_t kMaxSources = 256;
  static constexpr std::string_view kOtherSources = "other sources";

  // True when a line from `source` at tick `now` (milliseconds, TClock::TickCount) is to be
  // written; otherwise the line is counted as left out. Call TakeSummaries first, so a window that
  // has ended is summed up before the source starts a new one.
  bool Admit(std::string_view source, std::uint32_t now);

  // One line of text per source with lines left out, "<source>: N more lines left out in 1 s", for
  // windows over by `now`, or for all of them when `all` (the log stops; every source then starts
  // afresh).
  std::vector<std::string> TakeSummaries(std::uint32_t now, bool all);

 private:
  struct TWindow {
    std::uint32_t start = 0;
    std::size_t written = 0;
    std::uint64_t leftOut = 0;
  };

  bool Over(const TWindow& window, std::uint32_t now) const;
  void ForgetQuietWindows(std::uint32_t now);

  std::map<std::string, TWindow, std::less<>> windows_;
  std::size_t pending_ = 0;  // windows with lines left out
};
