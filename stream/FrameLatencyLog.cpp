#include "FrameLatencyLog.h"

#include <algorithm>
#include <cstdio>

#include "log/ServiceLog.h"

namespace {

std::string Milliseconds(int64_t micros) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(micros) / 1000.0);
  return text;
}

}  // namespace

TFrameLatencyLog::TFrameLatencyLog(LineSink sink) : sink_(std::move(sink)), counts_(kSteps, 0) {}

void TFrameLatencyLog::Record(int64_t capturedMicros, int64_t sentMicros) {
  const int64_t latency = std::max<int64_t>(0, sentMicros - capturedMicros);
  std::string line;
  {
    const std::lock_guard guard(lock_);
    if (frames_ == 0) {
      periodStart_ = sentMicros;
      min_ = max_ = latency;
    }
    ++frames_;
    min_ = std::min(min_, latency);
    max_ = std::max(max_, latency);
    ++counts_[static_cast<size_t>(std::min<int64_t>(latency / kStepMicros, kSteps - 1))];
    if (sentMicros - periodStart_ >= kPeriodMicros) line = TakeSummary(sentMicros);
  }
  // Written outside the lock: the log may block, and other senders must not wait for it.
  if (line.empty()) return;
  if (sink_) {
    sink_(line);
  } else {
    LogMessage(line);
  }
}

std::string TFrameLatencyLog::TakeSummary(int64_t endMicros) {
  // The median is the step holding the middle frame, given as that step's lower edge.
  const uint64_t middle = (frames_ + 1) / 2;
  uint64_t seen = 0;
  size_t step = 0;
  for (; step < kSteps; ++step) {
    seen += counts_[step];
    if (seen >= middle) break;
  }
  const int64_t median = std::clamp(static_cast<int64_t>(step) * kStepMicros, min_, max_);
  std::string line = "frame latency, capture to sent, last " +
                     std::to_string((endMicros - periodStart_ + 500'000) / 1'000'000) +
                     " s: " + std::to_string(frames_) + " frames, min " + Milliseconds(min_) +
                     " ms, median " + Milliseconds(median) + " ms, max " + Milliseconds(max_) +
                     " ms";
  std::fill(counts_.begin(), counts_.end(), 0);
  frames_ = 0;
  return line;
}

TFrameLatencyLog& FrameLatencyLog() {
  static TFrameLatencyLog log;
  return log;
}
