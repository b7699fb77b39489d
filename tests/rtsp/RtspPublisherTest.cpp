#include "rtsp/RtspPublisher.h"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "tests/support/LineLog.h"
#include "tests/support/WaitUntil.h"

namespace {

using namespace std::chrono_literals;

// A server that never answers: each attempt fails at once, so the pauses between attempts are all
// that passes.
TEST(RtspPublisher, PausesDoubleUpToTheLongestAndTheSameFailureIsLoggedOnce) {
  std::string error;
  TRtspPublisherLinks links;
  links.url = *ParseRtspUrl("rtsp://relay:8554/cam", error);
  LineLog log;
  links.stream.log = log.Sink();
  links.connect = [](const TRtspUrl&, std::string& why) {
    why = "Connection refused";
    return std::unique_ptr<platform::TTcpConnection>();
  };
  links.firstRetry = 20ms;
  links.longestRetry = 80ms;
  std::mutex lock;
  std::vector<std::chrono::milliseconds> pauses;
  links.stateChanged = [&](const TPublishState& state) {
    const std::lock_guard guard(lock);
    EXPECT_EQ(state.phase, TPublishPhase::Retrying);
    EXPECT_EQ(state.target, "relay:8554/cam");
    pauses.push_back(std::chrono::ceil<std::chrono::milliseconds>(
        state.retryAt - std::chrono::steady_clock::now()));
  };
  TRtspPublisher publisher(links);
  publisher.Start();
  ASSERT_TRUE(WaitUntil(
      [&] {
        const std::lock_guard guard(lock);
        return pauses.size() >= 5;
      },
      5s));
  publisher.Stop();
  const std::lock_guard guard(lock);
  const std::chrono::milliseconds expected[] = {20ms, 40ms, 80ms, 80ms, 80ms};
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    EXPECT_LE(pauses[i], expected[i]) << i;
    EXPECT_GE(pauses[i], expected[i] - 10ms) << i;
  }
  EXPECT_EQ(log.Lines(),
            (std::vector<std::string>{"publish: connecting to relay:8554/cam",
                                      "publish: relay:8554/cam: cannot connect: Connection "
                                      "refused, retrying in 1 s",
                                      "publish: stopped"}));
}

}  // namespace
