#include "LogFloodGuard.h"

#include <string>

#include "platform/Clock.h"

bool TLogFloodGuard::Over(const TWindow& window, std::uint32_t now) const {
  return platform::TicksElapsed(window.start, now) >= kWindowMs;
}

void TLogFloodGuard::ForgetQuietWindows(std::uint32_t now) {
  std::erase_if(windows_, [&](const auto& entry) {
    return entry.second.leftOut == 0 && Over(entry.second, now);
  });
}

bool TLogFloodGuard::Admit(std::string_view source, std::uint32_t now) {
  auto found = windows_.find(source);
  if (found == windows_.end()) {
    if (windows_.size() >= kMaxSources) ForgetQuietWindows(now);
    // The shared count may come on top of the bound: it is one entry more, not one per source.
    const std::string_view key = windows_.size() < kMaxSources ? source : kOtherSources;
    found = windows_.find(key);
    if (found == windows_.end()) found = windows_.emplace(std::string(key), TWindow{now}).first;
  }
  TWindow& window = found->second;
  if (Over(window, now)) {
    window.start = now;
    window.written = 0;
  }
  if (window.written < kLinesPerWindow) {
    ++window.written;
    return true;
  }
  if (window.leftOut++ == 0) ++pending_;
  return false;
}

std::vector<std::string> TLogFloodGuard::TakeSummaries(std::uint32_t now, bool all) {
  std::vector<std::string> summaries;
  if (pending_ > 0) {
    for (auto& [source, window] : windows_) {
      if (window.leftOut == 0 || (!all && !Over(window, now))) continue;
      summaries.push_back(source + ": " + std::to_string(window.leftOut) +
                          " more lines left out in 1 s");
      window.leftOut = 0;
      --pending_;
    }
  }
  if (all) windows_.clear();
  return summaries;
}
