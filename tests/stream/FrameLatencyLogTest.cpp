#include "stream/FrameLatencyLog.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int64_t kSecond = 1'000'000;

class FrameLatencyLogTest : public testing::Test {
 protected:
  std::vector<std::string> Lines() {
    const std::lock_guard guard(lock_);
    return lines_;
  }

  std::mutex lock_;
  std::vector<std::string> lines_;
  TFrameLatencyLog log_{[this](std::string_view line) {
    const std::lock_guard guard(lock_);
    lines_.emplace_back(line);
  }};
};

// One line a minute, not one a frame: the minute's frames with their smallest, middle and largest
// latency, and the next minute counted afresh.
TEST_F(FrameLatencyLogTest, SumsUpEachMinuteInOneLine) {
  const int64_t start = 5'000 * kSecond;
  // 240 frames over 59.75 s at 8 fps, latencies 10.0 .. 33.9 ms in 0.1 ms steps.
  for (int i = 0; i < 240; ++i) {
    const int64_t sent = start + i * 250'000;
    log_.Record(sent - 10'000 - i * 100, sent);
  }
  EXPECT_TRUE(Lines().empty()) << Lines().front();

  // The frame that completes the minute closes it; a capture stamp after the send (clocks read
  // on different cores) counts as no delay rather than a negative one.
  log_.Record(start + 60 * kSecond + 1'000, start + 60 * kSecond);
  ASSERT_EQ(Lines().size(), 1u);
  EXPECT_EQ(Lines()[0],
            "frame latency, capture to sent, last 60 s: 241 frames, min 0.0 ms, median 21.9 ms, "
            "max 33.9 ms");

  // A frame stuck for 3 s is reported at its true length, beyond the counted steps.
  log_.Record(start + 61 * kSecond, start + 64 * kSecond);
  log_.Record(start + 64 * kSecond - 12'345, start + 64 * kSecond);
  log_.Record(start + 124 * kSecond - 15'000, start + 124 * kSecond);
  ASSERT_EQ(Lines().size(), 2u);
  EXPECT_EQ(Lines()[1],
            "frame latency, capture to sent, last 60 s: 3 frames, min 12.3 ms, median 15.0 ms, "
            "max 3000.0 ms");
}

// A quiet spell writes nothing; the first frame after it starts a new minute.
TEST_F(FrameLatencyLogTest, WritesNothingWithoutFramesAndStartsAfreshAfterAPause) {
  log_.Record(0, 20'000);
  log_.Record(10 * kSecond, 10 * kSecond + 30'000);
  EXPECT_TRUE(Lines().empty());
  log_.Record(300 * kSecond, 300 * kSecond + 40'000);
  ASSERT_EQ(Lines().size(), 1u);
  EXPECT_EQ(Lines()[0],
            "frame latency, capture to sent, last 300 s: 3 frames, min 20.0 ms, median 30.0 ms, "
            "max 40.0 ms");
  log_.Record(301 * kSecond, 301 * kSecond + 50'000);
  EXPECT_EQ(Lines().size(), 1u);
}

// Every client's send thread reports into the one summary.
TEST_F(FrameLatencyLogTest, CountsFramesFromManySendThreads) {
  constexpr int kThreads = 8;
  constexpr int kFrames = 1000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < kFrames; ++i) log_.Record(i * 1000, i * 1000 + (t + 1) * 1000);
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_TRUE(Lines().empty());
  log_.Record(0, 61 * kSecond);
  ASSERT_EQ(Lines().size(), 1u);
  EXPECT_NE(Lines()[0].find(std::to_string(kThreads * kFrames + 1) + " frames, min 1.0 ms"),
            std::string::npos)
      << Lines()[0];
}

}  // namespace
