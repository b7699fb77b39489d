// How long frames take from the screen capture to the last RTP packet handed to the network,
// summed up in one log line a minute (frames, min, median, max) so that the log shows the
// pipeline's latency without a line per frame.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

class TFrameLatencyLog {
 public:
  static constexpr int64_t kPeriodMicros = 60'000'000;
  using LineSink = std::function<void(std::string_view)>;

  // Lines go to the sink; without one, to the service log.
  explicit TFrameLatencyLog(LineSink sink = {});

  // One frame sent to one client: captured and sent on the platform::MonotonicMicroseconds clock.
  // Writes the summary line once a period has passed since the period's first frame; frames from
  // every sender thread go into one summary.
  void Record(int64_t capturedMicros, int64_t sentMicros);

 private:
  // Latencies are counted in 0.1 ms steps up to 2 s; anything longer shares the last step, which
  // only the median can hide (min and max are kept exactly).
  static constexpr int64_t kStepMicros = 100;
  static constexpr size_t kSteps = 20'000;

  std::string TakeSummary(int64_t endMicros);

  LineSink sink_;
  std::mutex lock_;
  std::vector<uint32_t> counts_;
  uint64_t frames_ = 0;
  int64_t periodStart_ = 0;
  int64_t min_ = 0;
  int64_t max_ = 0;
};

// The process's summary, written to the service log.
TFrameLatencyLog& FrameLatencyLog();
