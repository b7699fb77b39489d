// The real program in a headless GNOME session (run by tests/support/headless_gnome.sh): the
// desktop reaches it over PipeWire from mutter's screen cast, and a real player decodes it.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <csignal>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "RunningVistrel.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Subprocess.h"

namespace {

using namespace std::chrono_literals;

struct TRgb {
  int red, green, blue;
};

// GStreamer's 75 % colour bars, left to right: what the window shows full screen.
constexpr std::array<TRgb, 7> kBars = {{{191, 191, 191},
                                        {191, 191, 0},
                                        {0, 191, 191},
                                        {0, 191, 0},
                                        {191, 0, 191},
                                        {191, 0, 0},
                                        {0, 0, 191}}};

// One decoded picture of the stream as 24-bit RGB rows, scaled by the decoder to width x height.
std::vector<unsigned char> DecodePicture(const std::string& url, int width, int height) {
  const std::string command = "timeout -s KILL 40 ffmpeg -hide_banner -nostdin -loglevel error "
                              "-rtsp_transport tcp -i '" + url + "' -frames:v 1 -vf scale=" +
                              std::to_string(width) + ":" + std::to_string(height) +
                              " -f rawvideo -pix_fmt rgb24 - 2>/dev/null";
  std::vector<unsigned char> rgb;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    unsigned char chunk[65536];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;) rgb.insert(rgb.end(), chunk, chunk + n);
    pclose(pipe);
  }
  return rgb;
}

// The bars must come out at their places whatever size the stream has.
void ExpectBars(const std::string& url, const std::string& log) {
  constexpr int kWidth = 70, kHeight = 10;
  const std::vector<unsigned char> rgb = DecodePicture(url, kWidth, kHeight);
  ASSERT_EQ(rgb.size(), size_t{kWidth * kHeight * 3}) << log;
  for (size_t bar = 0; bar < kBars.size(); ++bar) {
    const unsigned char* pixel = &rgb[(kHeight / 2 * kWidth + bar * 10 + 5) * 3];
    const TRgb& want = kBars[bar];
    EXPECT_NEAR(pixel[0], want.red, 24) << "bar " << bar;
    EXPECT_NEAR(pixel[1], want.green, 24) << "bar " << bar;
    EXPECT_NEAR(pixel[2], want.blue, 24) << "bar " << bar;
  }
}

constexpr const char* kSettings = "[System]\nCapture=mutter\nfps=10\n\n[RTSP]\nPort={port}\n";

class WaylandEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("WAYLAND_DISPLAY") == nullptr) GTEST_SKIP() << "not inside a Wayland session";
    // Windows of its own would cover the picture it streams.
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ShowBars();
  }

  // One picture now and the next a minute later: a still desktop.
  void ShowBars() {
    bars_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/bin/gst-launch-1.0", "-q", "videotestsrc", "pattern=smpte75",
                                 "!", "video/x-raw,width=320,height=240,framerate=1/60", "!",
                                 "waylandsink", "fullscreen=true"},
        std::vector<std::string>{});
    std::this_thread::sleep_for(2s);
  }

  std::unique_ptr<ChildProcess> bars_;
};

TEST_F(WaylandEndToEnd, AStillDesktopArrivesInItsColoursAtTheConfiguredRate) {
  RunningVistrel vistrel("", kSettings);
  ASSERT_TRUE(vistrel.WaitForLog({"screen capture: through GNOME's screen cast"}, 5s))
      << vistrel.LogText();
  ExpectBars(vistrel.Url(), vistrel.LogText());

  // The compositor sends nothing while the screen is still; the stream must not go quiet.
  const auto started = std::chrono::steady_clock::now();
  const DecodeResult result = DecodeFrames(vistrel.Url(), "tcp", 10 * 30, 60);
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(result.exitCode, 0) << result.output;
  EXPECT_EQ(result.frames, 10 * 30) << result.output;
  EXPECT_GE(took, 28s) << "frames came faster than 10 a second";
  EXPECT_LE(took, 40s) << "frames came slower than 10 a second";
  vistrel.ExpectRunning();
}

// The virtual monitor has one mode only, so its size changes the way a user's does when GNOME
// restarts on another monitor: the compositor goes, and comes back at another size. A player
// watching throughout gets every frame it asked for, at the size it started with.
// Last of the tests: the compositor it leaves behind is its own.
TEST_F(WaylandEndToEnd, TheStreamGoesOnAtItsSizeWhenTheCompositorComesBackAtAnother) {
  const char* mutterPid = std::getenv("VISTREL_MUTTER_PID");
  if (mutterPid == nullptr) GTEST_SKIP() << "the session does not say which compositor is its own";
  RunningVistrel vistrel("", kSettings);
  auto watching = std::async(std::launch::async,
                             [&] { return DecodeFrames(vistrel.Url(), "tcp", 10 * 20, 90); });
  std::this_thread::sleep_for(4s);
  ASSERT_EQ(kill(std::atoi(mutterPid), SIGTERM), 0);
  std::this_thread::sleep_for(1s);
  const ChildProcess mutter({"/usr/bin/mutter", "--headless", "--no-x11",
                             std::string("--wayland-display=") + std::getenv("WAYLAND_DISPLAY"),
                             "--virtual-monitor", "800x600"},
                            {});
  ASSERT_EQ(RunCommand("gdbus wait --session --timeout 30 org.gnome.Mutter.ScreenCast"), "");
  ShowBars();

  const DecodeResult result = watching.get();
  EXPECT_EQ(result.exitCode, 0) << result.output;
  EXPECT_EQ(result.frames, 10 * 20) << result.output << vistrel.LogText();
  EXPECT_EQ(result.size, "640x480") << result.output;
  ExpectBars(vistrel.Url(), vistrel.LogText());
  EXPECT_TRUE(vistrel.WaitForLog({"800x600"}, 1s)) << vistrel.LogText();
  vistrel.ExpectRunning();
}

}  // namespace
