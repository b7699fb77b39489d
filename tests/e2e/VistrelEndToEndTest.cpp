// The real program on a real X display, watched by real players.
#include <gtest/gtest.h>
#include <signal.h>

#include <future>
#include <string>
#include <thread>

#include "RtspTestClient.h"
#include "RunningVistrel.h"
#include "tests/support/TestScreen.h"
#include "tests/support/XvfbDisplay.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kSettings = "[System]\nfps=25\n\n[RTSP]\nPort={port}\n";

class VistrelEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    display_ = std::make_unique<XvfbDisplay>(XvfbDisplay::Screen{640, 480, 24});
    TestScreen screen(display_->Name());
    screen.Fill(0, 0, 320, 480, {255, 0, 0});
    screen.Fill(320, 0, 320, 480, {0, 0, 255});
    screen.Sync();
  }
  std::unique_ptr<XvfbDisplay> display_;
};

TEST_F(VistrelEndToEnd, FfmpegDecodesTheDesktopOverInterleavedTcp) {
  RunningVistrel vistrel(display_->Name(), kSettings);
  const DecodeResult result = DecodeFrames(vistrel.Url(), "tcp", 20);
  EXPECT_EQ(result.exitCode, 0) << result.output;
  EXPECT_EQ(result.frames, 20) << result.output;
  EXPECT_EQ(result.size, "640x480") << result.output;
  // One client's conversation, as the log tells it. ffmpeg closes its connection right after
  // sending TEARDOWN, with stream data it never read still queued, so its side resets the
  // connection and the answer to TEARDOWN may or may not get written: only the session's end is
  // certain.
  EXPECT_TRUE(vistrel.WaitForLog(
      {"connected from 127.0.0.1:", "uri=" + vistrel.Url(), "rtpavp=RTP/AVP/TCP",
       "session=", "open video handle ok", "send ok response",
       "do teardown, session=", "TLiveSession destroy-->", "stop",
       "free sender", "free buffer", "free session ", "disconnect from 127.0.0.1:"},
      5s))
      << vistrel.LogText();
}

TEST_F(VistrelEndToEnd, FfmpegDecodesOverUdpWhenEnabled) {
  RunningVistrel vistrel(display_->Name(),
                         "[System]\nfps=25\n\n[RTSP]\nPort={port}\nEnableUDP=1\n");
  const DecodeResult result = DecodeFrames(vistrel.Url(), "udp", 20);
  EXPECT_EQ(result.exitCode, 0) << result.output;
  EXPECT_EQ(result.frames, 20) << result.output;
  EXPECT_EQ(result.size, "640x480") << result.output;
}

TEST_F(VistrelEndToEnd, FfmpegDecodesTheMpeg4Stream) {
  RunningVistrel vistrel(display_->Name(),
                         "[System]\nfps=25\nEncodeType=3\n\n[RTSP]\nPort={port}\n");
  const DecodeResult result = DecodeFrames(vistrel.Url(), "tcp", 20);
  EXPECT_EQ(result.exitCode, 0) << result.output;
  EXPECT_EQ(result.frames, 20) << result.output;
  EXPECT_NE(result.output.find("mpeg4"), std::string::npos) << result.output;
}

TEST_F(VistrelEndToEnd, AnOddPictureSizeIsEncodedOneRowAndColumnSmaller) {
  RunningVistrel vistrel(display_->Name(),
                         "[System]\nfps=25\nWidth=321\nHeight=241\n\n[RTSP]\nPort={port}\n");
  const DecodeResult result = DecodeFrames(vistrel.Url(), "tcp", 10);
  EXPECT_EQ(result.frames, 10) << result.output;
  EXPECT_EQ(result.size, "320x240") << result.output;
}

TEST_F(VistrelEndToEnd, TwoClientsWatchAndOneLeavingDoesNotStopTheOther) {
  RunningVistrel vistrel(display_->Name(), kSettings);
  auto longer =
      std::async(std::launch::async, [&] { return DecodeFrames(vistrel.Url(), "tcp", 100, 90); });
  const DecodeResult shorter = DecodeFrames(vistrel.Url(), "tcp", 20);
  EXPECT_EQ(shorter.frames, 20) << shorter.output;
  const DecodeResult other = longer.get();
  EXPECT_EQ(other.exitCode, 0) << other.output;
  EXPECT_EQ(other.frames, 100) << "kept receiving after the first client left\n" << other.output;
}

TEST_F(VistrelEndToEnd, ASecondCopyEndsAtOnceAndTheFirstKeepsServing) {
  RunningVistrel vistrel(display_->Name(), kSettings);
  auto copy = vistrel.StartCopy();
  EXPECT_EQ(copy->WaitFor(5s), 0);
  const DecodeResult result = DecodeFrames(vistrel.Url(), "tcp", 10);
  EXPECT_EQ(result.frames, 10) << result.output;
}

TEST_F(VistrelEndToEnd, SigtermStopsTheServiceInOrder) {
  RunningVistrel vistrel(display_->Name(), kSettings);
  DecodeFrames(vistrel.Url(), "tcp", 5);
  vistrel.Process().Signal(SIGTERM);
  EXPECT_EQ(vistrel.Process().WaitFor(10s), 0);
  EXPECT_TRUE(LinesInOrder(vistrel.LogText(), {"start service-->", "listen ", "start service<--",
                                               "stop service -->", "RTSPService destroy--->",
                                               "RTSPService destroy<---", "stop service <--"}))
      << vistrel.LogText();
  // A display without a notification area: said once, and the service ran all the same.
  const std::string log = vistrel.LogText();
  const std::string noTray = "no notification area for the tray icon";
  const auto first = log.find(noTray);
  EXPECT_NE(first, std::string::npos) << log;
  EXPECT_EQ(log.find(noTray, first + 1), std::string::npos) << log;
}

// The listener takes the configured address only; one it cannot take is said in the log and
// leaves the program running without a listener.
TEST_F(VistrelEndToEnd, TheListenerBindsTheConfiguredAddressOrSaysWhyNot) {
  struct Case {
    const char* bind;
    bool serves;
    const char* logged;
  };
  const Case cases[] = {
      {"127.0.0.1", true, "no camera password set: anyone who reaches 127.0.0.1:"},
      {"127.0.0.300", false, "open service failed, E=not an IPv4 address: \"127.0.0.300\""},
      {"192.0.2.1", false, "open service failed, E="},
  };
  for (const Case& c : cases) {
    RunningVistrel vistrel(display_->Name(),
                           std::string("[RTSP]\nPort={port}\nBind=") + c.bind + "\n");
    EXPECT_TRUE(vistrel.WaitForLog({c.logged, "start service<--"}, 10s)) << vistrel.LogText();
    bool served = false;
    try {
      RtspTestClient client(vistrel.Port());
      served = client.Request("OPTIONS", vistrel.Url()).status == 200;
    } catch (const std::runtime_error&) {
      served = false;
    }
    EXPECT_EQ(served, c.serves) << c.bind;
    EXPECT_FALSE(vistrel.Process().WaitFor(0ms).has_value()) << c.bind << ": still running";
  }
}

TEST(VistrelWithoutDisplay, ServesWithoutWindowsAndEndsOnSigterm) {
  // A display number nothing listens on: the program must not need one to serve.
  RunningVistrel vistrel(":4093", kSettings);
  ASSERT_TRUE(vistrel.WaitForLog({"no display for the tray window; serving without it", "listen "},
                                 10s))
      << vistrel.LogText();
  RtspTestClient client(vistrel.Port());
  EXPECT_EQ(client.Request("OPTIONS", vistrel.Url()).status, 200);
  client.Close();
  vistrel.Process().Signal(SIGTERM);
  EXPECT_EQ(vistrel.Process().WaitFor(10s), 0);
  EXPECT_TRUE(LinesInOrder(vistrel.LogText(), {"stop service -->", "stop service <--"}))
      << vistrel.LogText();
}

}  // namespace

namespace {

TEST_F(VistrelEndToEnd, ADroppedInterleavedClientLosesItsSessionAtOnce) {
  RunningVistrel vistrel(display_->Name(), kSettings);
  RtspTestClient client(vistrel.Port());
  ASSERT_EQ(client.Request("DESCRIBE", vistrel.Url(), "Accept: application/sdp\r\n").status, 200);
  const RtspAnswer setup = client.Request("SETUP", vistrel.Url() + "/track1",
                                          "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n");
  ASSERT_EQ(setup.status, 200) << setup.head;
  const std::string session = setup.Header("Session").substr(0, setup.Header("Session").find(';'));
  ASSERT_EQ(client.Request("PLAY", vistrel.Url(), "Session: " + session + "\r\n").status, 200);
  EXPECT_GT(client.Drain(1000), 1000u) << "interleaved RTP arrives";
  client.Close();
  // Whichever sees the loss first ends the session, the connection's thread or the sender, whose
  // goodbye may come before the connection's last line: both lines, in either order.
  EXPECT_TRUE(vistrel.WaitForLog({"TLiveSession destroy-->", "free session " + session}, 2s))
      << vistrel.LogText();
  EXPECT_TRUE(vistrel.WaitForLog({"disconnect from 127.0.0.1:"}, 2s)) << vistrel.LogText();
}

TEST_F(VistrelEndToEnd, ASilentUdpClientExpiresAfterTwelveSeconds) {
  RunningVistrel vistrel(display_->Name(),
                         "[System]\nfps=25\n\n[RTSP]\nPort={port}\nEnableUDP=1\n");
  const int clientPort = FreePortPair();
  std::string session;
  {
    RtspTestClient client(vistrel.Port());
    ASSERT_EQ(client.Request("DESCRIBE", vistrel.Url()).status, 200);
    const RtspAnswer setup =
        client.Request("SETUP", vistrel.Url() + "/track1",
                       "Transport: RTP/AVP;unicast;client_port=" + std::to_string(clientPort) +
                           "-" + std::to_string(clientPort + 1) + "\r\n");
    ASSERT_EQ(setup.status, 200) << setup.head;
    EXPECT_NE(setup.Header("Session").find(";timeout=12"), std::string::npos) << setup.head;
    session = setup.Header("Session").substr(0, setup.Header("Session").find(';'));
    ASSERT_EQ(client.Request("PLAY", vistrel.Url(), "Session: " + session + "\r\n").status, 200);
  }
  // The RTSP connection is gone and no datagram ever comes back: the session outlives the
  // connection, but not the silence.
  std::this_thread::sleep_for(8s);
  EXPECT_FALSE(LinesInOrder(vistrel.LogText(), {"free session " + session}));
  EXPECT_TRUE(vistrel.WaitForLog({"free session " + session}, 8s)) << vistrel.LogText();
}

// ffmpeg's keep-alives come every 30 s and its receiver reports only after a lot of video; a still
// desktop gives little of it. The session must survive on the keep-alives alone.
TEST_F(VistrelEndToEnd, AnFfmpegUdpClientWatchingAStillDesktopKeepsReceivingForAMinute) {
  RunningVistrel vistrel(display_->Name(), "[System]\nfps=5\n\n[RTSP]\nPort={port}\nEnableUDP=1\n");
  const DecodeResult result = DecodeFrames(vistrel.Url(), "udp", 5 * 65, 120);
  EXPECT_EQ(result.exitCode, 0) << result.output;
  EXPECT_GE(result.frames, 5 * 63) << result.output;
}

}  // namespace
