#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "DesktopEncoderTestSupport.h"
#include "capture/FrameHeader.h"
#include "capture/LiveDataGenerator.h"
#include "tests/support/LineLog.h"
#include "tests/support/WaitUntil.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// A generator over a real desktop encoder on a fake screen, on the system clock.
class LiveDataGeneratorTest : public ::testing::Test {
 protected:
  void MakeEncoder(int fps) {
    auto screen = std::make_unique<FakeScreen>(160, 120);
    screen_ = screen.get();
    encoder_ =
        std::make_unique<TDesktopEncoder>(TVideoSettings{fps, kEncodeTypeH264, 0, 0, 0}, binding_,
                                          std::move(screen), platform::SystemClock(), log_.get());
  }
  TLiveDataGeneratorLinks Links() {
    TLiveDataGeneratorLinks links;
    links.encoder = [this]() -> TDesktopEncoder& { return *encoder_; };
    links.hasSessions = [this] { return watching_.load(); };
    links.dispatchFrame = [this](std::span<const uint8_t> frame, int64_t) {
      if (failures_.load() > 0) {
        --failures_;
        throw std::runtime_error("delivery broke");
      }
      const auto header = ReadFrameHeader(frame);
      const std::lock_guard guard(lock_);
      if (header) frameTypes_.push_back(header->FrameType);
    };
    links.log = lines_.Sink();
    return links;
  }
  size_t Frames() {
    const std::lock_guard guard(lock_);
    return frameTypes_.size();
  }

  TempLog log_;
  TestBinding binding_;
  FakeScreen* screen_ = nullptr;
  std::unique_ptr<TDesktopEncoder> encoder_;
  std::atomic<bool> watching_{false};
  std::atomic<int> failures_{0};
  std::mutex lock_;
  std::vector<uint32_t> frameTypes_;
  LineLog lines_;
};

TEST_F(LiveDataGeneratorTest, WithoutSessionsNothingIsCapturedAndStopIsPrompt) {
  MakeEncoder(25);
  TLiveDataGenerator generator(Links());
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(screen_->captures.load(), 0);
  const auto start = Clock::now();
  generator.Stop();
  EXPECT_LT(Clock::now() - start, 150ms);
}

TEST_F(LiveDataGeneratorTest, FramesKeepTheirRateWithoutKeepingACoreBusy) {
  MakeEncoder(20);  // one picture every 50 ms
  watching_ = true;
  const double cpuBefore = ProcessCpuSeconds();
  const auto start = Clock::now();
  {
    TLiveDataGenerator generator(Links());
    std::this_thread::sleep_for(1000ms);
  }
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  const double cpu = ProcessCpuSeconds() - cpuBefore;
  const size_t frames = Frames();
  EXPECT_GE(frames, 17u);
  EXPECT_LE(frames, 22u);
  EXPECT_LE(static_cast<size_t>(screen_->captures.load()), frames + 1)
      << "every capture is encoded: nothing is captured in between";
  EXPECT_LT(cpu / wall, 0.5) << "a busy-waiting loop would use a whole core";
  const std::lock_guard guard(lock_);
  ASSERT_FALSE(frameTypes_.empty());
  EXPECT_EQ(frameTypes_[0], 2u) << "the first frame is a key frame";
}

TEST_F(LiveDataGeneratorTest, AFailingPassIsLoggedAndTheNextGoesOn) {
  MakeEncoder(25);
  failures_ = 2;
  watching_ = true;
  TLiveDataGenerator generator(Links());
  ASSERT_TRUE(WaitUntil([this] { return Frames() >= 3; }, 3000ms));
  generator.Stop();
  EXPECT_EQ(lines_.Count("live data generator execute failed, e=delivery broke"), 2u);
}

TEST_F(LiveDataGeneratorTest, CaptureStartsSoonAfterTheFirstSessionAppears) {
  MakeEncoder(25);
  TLiveDataGenerator generator(Links());
  std::this_thread::sleep_for(150ms);
  EXPECT_EQ(screen_->captures.load(), 0);
  watching_ = true;
  const auto start = Clock::now();
  ASSERT_TRUE(WaitUntil([this] { return Frames() >= 1; }, 2000ms));
  EXPECT_LT(Clock::now() - start, 1000ms);
}

TEST_F(LiveDataGeneratorTest, StartingTwiceRunsOneGenerator) {
  MakeEncoder(25);
  TLiveDataGenerator& first = StartLiveDataGenerator(Links());
  TLiveDataGenerator& second = StartLiveDataGenerator(Links());
  EXPECT_EQ(&first, &second);
  StopLiveDataGenerator();
  StopLiveDataGenerator();  // stopping a stopped generator does nothing
}

}  // namespace
