// The PipeWire capture against a real headless GNOME (run through headless_gnome.sh), which
// shows GStreamer's colour bars full screen: a still screen whose colours are known.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "platform/wayland/MutterScreenCast.h"
#include "platform/wayland/PipeWireScreenCapture.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/WaitUntil.h"

namespace {

using namespace std::chrono_literals;
using platform::TCaptureStatus;
using platform::TScreenPicture;
using namespace platform::wayland;

struct TRgb {
  int r, g, b;
};
// The upper two thirds of the 75% bars, left to right.
constexpr TRgb kBars[] = {{191, 191, 191}, {191, 191, 0}, {0, 191, 191}, {0, 191, 0},
                          {191, 0, 191},   {191, 0, 0},   {0, 0, 191}};

// How far the pixel at the middle of each bar (a third of the way down) is from its colour.
int WorstBarError(const TScreenPicture& picture) {
  int worst = 0;
  for (int bar = 0; bar < 7; ++bar) {
    const int x = (2 * bar + 1) * picture.width / 14;
    const std::uint8_t* p = picture.pixels + picture.height / 3 * picture.stride + x * 4;
    for (const int error : {p[2] - kBars[bar].r, p[1] - kBars[bar].g, p[0] - kBars[bar].b})
      worst = std::max(worst, std::abs(error));
  }
  return worst;
}

// Every line the capture logged so far, to tell why a case failed.
std::string Notices(platform::TScreenCapture& capture) {
  std::string notices;
  for (std::string notice; !(notice = capture.TakeNotice()).empty();) notices += notice + "\n";
  return notices;
}

class PipeWireScreenCaptureTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    bars_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/bin/gst-launch-1.0", "-q", "videotestsrc",
                                 "pattern=smpte75", "!",
                                 "video/x-raw,width=320,height=240,framerate=1/60", "!",
                                 "waylandsink", "fullscreen=true"},
        std::vector<std::string>{});
    session_ = std::make_shared<TMutterScreenCast>(
        TMutterScreenCastLinks{{}, std::chrono::seconds(5), platform::SystemClock()});
  }
  static void TearDownTestSuite() {
    session_.reset();
    bars_.reset();
  }

  // Captures until the bars show (the window may still be opening); the last status.
  TCaptureStatus CaptureBars(int width, int height, TScreenPicture& picture) {
    TCaptureStatus status = TCaptureStatus::NoDisplay;
    WaitUntil([&] {
      status = capture_->Capture(width, height, picture);
      return status == TCaptureStatus::Ok && WorstBarError(picture) <= kTolerance;
    }, 10s);
    return status;
  }

  static constexpr int kTolerance = 12;
  static inline std::unique_ptr<ChildProcess> bars_;
  static inline std::shared_ptr<TMutterScreenCast> session_;
  std::unique_ptr<platform::TScreenCapture> capture_ =
      platform::CreatePipeWireScreenCapture(platform::SystemClock(), session_);
};

TEST_F(PipeWireScreenCaptureTest, GnomeHandsOutANodeWithThePointerDrawnIn) {
  TCastNode node;
  ASSERT_TRUE(WaitUntil([&] { return (node = session_->Node()).status == TCastStatus::Ok; }, 10s))
      << node.error;
  EXPECT_NE(node.node, 0u);
  EXPECT_EQ(node.remoteFd, -1);
  EXPECT_TRUE(node.cursorEmbedded);
}

// 1:1, shrunk and enlarged, each checked again after the capture rested, and on a still screen
// every capture is Ok with nothing changed in between.
TEST_F(PipeWireScreenCaptureTest, BarsShowAtEveryTargetSizeAndAfterRest) {
  const struct {
    int width, height;
  } targets[] = {{640, 480}, {320, 240}, {1280, 720}};
  for (const auto& target : targets) {
    SCOPED_TRACE(std::to_string(target.width) + "x" + std::to_string(target.height));
    for (const bool rested : {false, true}) {
      if (rested) capture_->Rest();
      TScreenPicture picture;
      ASSERT_EQ(CaptureBars(target.width, target.height, picture), TCaptureStatus::Ok)
          << Notices(*capture_);
      EXPECT_EQ(picture.width, target.width);
      EXPECT_EQ(picture.height, target.height);
      EXPECT_LE(WorstBarError(picture), kTolerance) << "rested " << rested;
      EXPECT_EQ(capture_->Width(), 640);
      EXPECT_EQ(capture_->Height(), 480);
      // The compositor may still be settling the window; then it sends nothing more.
      EXPECT_TRUE(WaitUntil([&] {
        if (capture_->Capture(target.width, target.height, picture) != TCaptureStatus::Ok)
          return false;
        std::this_thread::sleep_for(300ms);
        return capture_->ChangeSinceLastCapture(target.width, target.height).Nothing();
      }, 5s));
      ASSERT_EQ(capture_->Capture(target.width, target.height, picture), TCaptureStatus::Ok);
      EXPECT_LE(WorstBarError(picture), kTolerance);
    }
  }
}

// The session ending under a running capture (as when the compositor restarts) loses the
// picture for a moment only: the capture notices, renews the session and reads the new node.
TEST_F(PipeWireScreenCaptureTest, RecoversWhenTheSessionEnds) {
  TScreenPicture picture;
  ASSERT_EQ(CaptureBars(640, 480, picture), TCaptureStatus::Ok) << Notices(*capture_);
  session_->Renew();
  EXPECT_TRUE(WaitUntil(
      [&] { return capture_->Capture(640, 480, picture) == TCaptureStatus::NoDisplay; }, 5s))
      << Notices(*capture_);
  EXPECT_EQ(CaptureBars(640, 480, picture), TCaptureStatus::Ok) << Notices(*capture_);
  EXPECT_LE(WorstBarError(picture), kTolerance);
}

struct TRefusingSession final : TScreenCastSession {
  TCastNode Node() override {
    TCastNode node;
    node.status = TCastStatus::Refused;
    node.error = "the user declined";
    return node;
  }
  void Renew() override {}
};

// Refused by the user: black pictures of the fallback size, and the reason in the log. No GNOME
// on the bus (a bus of the test's own) is no refusal, since GNOME may be restarting: no picture,
// and the reason in the log.
TEST(PipeWireScreenCaptureRefusedTest, ARefusalSendsBlackAndAMissingGnomeIsNoRefusal) {
  const auto refused =
      platform::CreatePipeWireScreenCapture(platform::SystemClock(), std::make_shared<TRefusingSession>());
  TScreenPicture picture;
  ASSERT_TRUE(WaitUntil([&] { return refused->Capture(64, 36, picture) == TCaptureStatus::Ok; }));
  EXPECT_EQ(refused->Width(), 1280);
  EXPECT_EQ(refused->Height(), 720);
  int brightest = 0;
  for (int y = 0; y < picture.height; ++y)
    for (int x = 0; x < picture.width * 4; ++x)
      if (x % 4 != 3) brightest = std::max<int>(brightest, picture.pixels[y * picture.stride + x]);
  EXPECT_EQ(brightest, 0);
  std::string notices = Notices(*refused);
  EXPECT_NE(notices.find("the user declined"), std::string::npos) << notices;

  const std::string socket = std::string(std::getenv("XDG_RUNTIME_DIR")) + "/bus-without-gnome";
  const ChildProcess bus({"/usr/bin/dbus-daemon", "--session", "--nofork",
                          "--address=unix:path=" + socket},
                         {});
  ASSERT_TRUE(WaitUntil([&] { return access(socket.c_str(), F_OK) == 0; }));
  const auto missing = platform::CreatePipeWireScreenCapture(
      platform::SystemClock(), std::make_shared<TMutterScreenCast>(TMutterScreenCastLinks{
                                   "unix:path=" + socket, std::chrono::seconds(2),
                                   platform::SystemClock()}));
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(2500);
  while (std::chrono::steady_clock::now() < until) {
    ASSERT_EQ(missing->Capture(64, 36, picture), TCaptureStatus::NoDisplay);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  notices = Notices(*missing);
  EXPECT_NE(notices.find("org.gnome.Mutter.ScreenCast"), std::string::npos) << notices;
}

}  // namespace
