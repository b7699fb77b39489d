// The real program with a user set: players with the credentials watch, the others are turned away.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RtspTestClient.h"
#include "RunningVistrel.h"
#include "tests/support/DigestAnswer.h"
#include "tests/support/Subprocess.h"
#include "tests/support/XvfbDisplay.h"

namespace {

constexpr const char* kSettings = "[RTSP]\nPort={port}\n[Auth]\nUser=nvr\nPassword=s3cret\n";

class AuthEndToEnd : public ::testing::Test {
 protected:
  XvfbDisplay display_{XvfbDisplay::Screen{320, 240, 24}};
  RunningVistrel vistrel_{display_.Name(), kSettings};
  const std::string where_ = "127.0.0.1:" + std::to_string(vistrel_.Port()) + "/live";
  const std::string url_ = "rtsp://" + where_;
};

TEST_F(AuthEndToEnd, FfmpegAndGstreamerWatchWithTheCredentialsOnly) {
  EXPECT_EQ(DecodeFrames("rtsp://nvr:s3cret@" + where_, "tcp", 10, 30).frames, 10);
  const DecodeResult wrong = DecodeFrames("rtsp://nvr:guess@" + where_, "tcp", 10, 30);
  EXPECT_NE(wrong.output.find("401 Unauthorized"), std::string::npos) << wrong.output;

  const auto gstreamer = [&](const std::string& credentials) {
    return RunCommand("timeout -s KILL 30 gst-launch-1.0 rtspsrc protocols=tcp location=" + url_ +
                      " " + credentials + " ! rtph264depay ! h264parse ! avdec_h264 ! fakesink " +
                      "num-buffers=10 2>&1");
  };
  const std::string watched = gstreamer("user-id=nvr user-pw=s3cret");
  EXPECT_NE(watched.find("Got EOS from element"), std::string::npos) << watched;
  const std::string refused = gstreamer("");
  EXPECT_NE(refused.find("Unauthorized"), std::string::npos) << refused;
  EXPECT_EQ(vistrel_.LogText().find("s3cret"), std::string::npos) << vistrel_.LogText();
}

TEST_F(AuthEndToEnd, AnswersRawDigestRequestsOverTcp) {
  struct Case {
    std::string method, uri, digestUri, password;
    int status;
  };
  const std::vector<Case> cases = {
      {"OPTIONS", url_, "", "", 200},
      {"DESCRIBE", url_, "", "", 401},
      {"DESCRIBE", url_, url_, "s3cret", 200},
      {"SETUP", url_ + "/track1", url_ + "/", "s3cret", 200},
      {"GET_PARAMETER", url_ + "/", "", "", 401},
      {"GET_PARAMETER", url_ + "/", url_, "s3cret", 200},
  };
  RtspTestClient client(vistrel_.Port());
  std::string nonce;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method + " " + c.digestUri + " " + c.password);
    std::string extra = c.method == "SETUP" ? "Transport: RTP/AVP/TCP;unicast\r\n" : "";
    if (!c.digestUri.empty())
      extra += "Authorization: " + DigestAnswer("nvr", c.password, c.method, c.digestUri, nonce) +
               "\r\n";
    const RtspAnswer answer = client.Request(c.method, c.uri, extra);
    EXPECT_EQ(answer.status, c.status) << answer.head;
    if (answer.status != 401) continue;
    EXPECT_EQ(answer.head.find("Basic"), std::string::npos) << "AllowBasic is not set";
    nonce = NonceOf(answer.Header("WWW-Authenticate"));
  }
}

}  // namespace
