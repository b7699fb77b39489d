// The real program with a user set: players with the credentials watch, players without them and
// requests with wrong ones are turned away.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RtspTestClient.h"
#include "RunningVistrel.h"
#include "tests/support/DigestAnswer.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TestScreen.h"
#include "tests/support/XvfbDisplay.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kSettings =
    "[System]\nfps=25\n\n[RTSP]\nPort={port}\n\n[Auth]\nUser=nvr\nPassword=s3cret\n";

class AuthEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    display_ = std::make_unique<XvfbDisplay>(XvfbDisplay::Screen{320, 240, 24});
    TestScreen(display_->Name()).Fill(0, 0, 320, 240, {0, 128, 255});
    vistrel_ = std::make_unique<RunningVistrel>(display_->Name(), kSettings);
  }
  std::string Url(const std::string& credentials = {}) const {
    return "rtsp://" + credentials + "127.0.0.1:" + std::to_string(vistrel_->Port()) + "/live";
  }
  std::unique_ptr<XvfbDisplay> display_;
  std::unique_ptr<RunningVistrel> vistrel_;
};

TEST_F(AuthEndToEnd, FfmpegAndGstreamerWatchWithTheCredentialsOnly) {
  const DecodeResult right = DecodeFrames(Url("nvr:s3cret@"), "tcp", 10, 30);
  EXPECT_EQ(right.frames, 10) << right.output;
  const DecodeResult wrong = DecodeFrames(Url("nvr:guess@"), "tcp", 10, 30);
  EXPECT_EQ(wrong.frames, 0) << wrong.output;
  EXPECT_NE(wrong.output.find("401"), std::string::npos) << wrong.output;

  const auto gstreamer = [&](const std::string& credentials, int* exitCode) {
    return RunCommand("timeout -s KILL 30 gst-launch-1.0 rtspsrc location=" + Url() +
                          " protocols=tcp " + credentials +
                          " ! rtph264depay ! h264parse ! avdec_h264 ! fakesink num-buffers=10 2>&1",
                      exitCode);
  };
  int exitCode = -1;
  std::string output = gstreamer("user-id=nvr user-pw=s3cret", &exitCode);
  EXPECT_EQ(exitCode, 0) << output;
  EXPECT_NE(output.find("Got EOS from element"), std::string::npos) << output;
  output = gstreamer("", &exitCode);
  EXPECT_EQ(exitCode, 1) << output;
  EXPECT_NE(output.find("Unauthorized"), std::string::npos) << output;

  const std::string log = vistrel_->LogText();
  EXPECT_NE(log.find("refused credentials from 127.0.0.1:"), std::string::npos) << log;
  EXPECT_EQ(log.find("s3cret"), std::string::npos) << log;
  EXPECT_EQ(log.find("no camera password set"), std::string::npos) << log;
}

TEST_F(AuthEndToEnd, AnswersRawDigestRequestsOverTcp) {
  RtspTestClient client(vistrel_->Port());
  std::string nonce;
  std::string session;
  struct Case {
    std::string method, url, digestUri, password, extra;
    int status;
  };
  const std::string track = Url() + "/track1";
  const std::vector<Case> cases = {
      {"OPTIONS", Url(), "", "", "", 200},
      {"DESCRIBE", Url(), "", "", "", 401},
      {"DESCRIBE", Url(), Url(), "s3cret", "", 200},
      {"DESCRIBE", Url(), Url(), "guess", "", 401},
      {"DESCRIBE", Url(), "/live", "s3cret", "", 200},
      {"SETUP", track, Url() + "/", "s3cret", "Transport: RTP/AVP/TCP;unicast;interleaved=0-1", 200},
      {"GET_PARAMETER", Url() + "/", "", "", "Session: {session}", 401},
      {"GET_PARAMETER", Url() + "/", Url() + "/", "s3cret", "Session: {session}", 200},
      {"TEARDOWN", Url() + "/", Url(), "s3cret", "Session: {session}", 200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method + " " + c.digestUri + " " + c.password);
    std::string extra = c.extra;
    if (const auto at = extra.find("{session}"); at != std::string::npos)
      extra.replace(at, 9, session);
    if (!extra.empty()) extra += "\r\n";
    if (!c.digestUri.empty())
      extra += "Authorization: " + DigestAnswer("nvr", c.password, c.method, c.digestUri, nonce) +
               "\r\n";
    const RtspAnswer answer = client.Request(c.method, c.url, extra);
    EXPECT_EQ(answer.status, c.status) << answer.head;
    if (answer.status == 401) {
      EXPECT_EQ(answer.head.find("Basic"), std::string::npos) << "AllowBasic is not set";
      nonce = NonceOf(answer.Header("WWW-Authenticate"));
      EXPECT_FALSE(nonce.empty()) << answer.head;
    }
    const std::string named = answer.Header("Session");
    if (c.method == "SETUP") session = named.substr(0, named.find(';'));
  }
}

}  // namespace
