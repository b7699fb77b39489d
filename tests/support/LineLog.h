// A log sink for tests: keeps every line, from any thread, for the test to look at.
#pragma once

#include <algorithm>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

class LineLog {
 public:
  std::function<void(std::string_view)> Sink() {
    return [this](std::string_view line) {
      const std::lock_guard guard(lock_);
      lines_.emplace_back(line);
    };
  }
  std::vector<std::string> Lines() const {
    const std::lock_guard guard(lock_);
    return lines_;
  }
  bool Has(std::string_view line) const {
    const std::lock_guard guard(lock_);
    return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
  }
  // Lines that start with prefix.
  size_t Count(std::string_view prefix) const {
    const std::lock_guard guard(lock_);
    return static_cast<size_t>(std::count_if(
        lines_.begin(), lines_.end(), [&](const auto& line) { return line.starts_with(prefix); }));
  }

 private:
  mutable std::mutex lock_;
  std::vector<std::string> lines_;
};
