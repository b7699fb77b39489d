#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/stream/SessionTestSupport.h"
#include "ServletTestSupport.h"
#include "capture/FrameHeader.h"

namespace {

using namespace servlet_test;
using std::chrono::milliseconds;

const std::string kFmtp =
    "a=fmtp:96 profile-level-id=420029; packetization-mode=1; "
    "sprop-parameter-sets=Z0IAKeNQ,aM48gA==";

TEST(RtspServlets, ComeInTheOrderTheServiceRegistersThem) {
  Bench bench;
  std::vector<std::string> names;
  for (const auto& servlet : MakeRtspServlets(bench.links)) names.push_back(servlet->GetName());
  EXPECT_EQ(names, (std::vector<std::string>{"OPTIONS", "DESCRIBE", "SETUP", "PLAY", "TEARDOWN"}));
}

TEST(RtspServletOptions, AnswersTheMethodListWhateverTheUri) {
  Bench bench;
  TRTSPServlet_Options options(bench.links);
  for (const char* uri : {"rtsp://192.168.1.10:6554/live", "*", "rtsp://h/any/thing?x=1", "/"}) {
    const Answer answer = bench.Run(options, Request("OPTIONS", uri, 7));
    EXPECT_EQ(answer.statusLine, "RTSP/1.0 200 OK") << uri;
    EXPECT_EQ(answer.Names(), (std::vector<std::string>{"CSeq", "Server", "Public", "Date"}));
    EXPECT_EQ(answer.Header("CSeq"), "7");
    EXPECT_EQ(answer.Header("Server"), "Pelorix Version 1.0");
    EXPECT_EQ(answer.Header("Public"), "OPTIONS, DESCRIBE, PLAY, SETUP, TEARDOWN");
    EXPECT_TRUE(answer.body.empty());
  }
  EXPECT_FALSE(bench.manager->HasSessions()) << "asking creates nothing";
}

TEST(RtspServletDescribe, AnswersTheSameDescriptionForAnyUriWithItsContentBase) {
  Bench bench;
  bench.SetFmtp(kFmtp);
  TRTSPServlet_DESCRIBE describe(bench.links);
  const std::vector<std::string> sdp = {"v=0",
                                        "o=- 1796653385250000 1796653385250000 IN IP4 192.168.1.10",
                                        "s=H264 Video, streamed by Pelorix",
                                        "i=",
                                        "t=0 0",
                                        "a=recvonly",
                                        "m=video 0 RTP/AVP 96",
                                        "c=IN IP4 0.0.0.0",
                                        "a=rtpmap:96 H264/90000",
                                        kFmtp,
                                        "a=control:track1"};
  std::size_t bodyBytes = 0;
  for (const std::string& line : sdp) bodyBytes += line.size() + 2;

  for (const std::string uri : {"rtsp://192.168.1.10:6554/live", "rtsp://192.168.1.10:6554/x"}) {
    const Answer answer =
        bench.Run(describe, Request("DESCRIBE", uri, 3, "Accept: application/sdp\r\n"));
    EXPECT_EQ(answer.statusLine, "RTSP/1.0 200 OK");
    EXPECT_EQ(answer.Names(), (std::vector<std::string>{"CSeq", "Content-Base", "Content-Type",
                                                        "Date", "Content-Length"}));
    EXPECT_EQ(answer.Header("Content-Base"), uri + "/");
    EXPECT_EQ(answer.Header("Content-Type"), "application/sdp");
    EXPECT_EQ(answer.Header("Content-Length"), std::to_string(bodyBytes));
    EXPECT_EQ(answer.body, sdp) << uri;
  }
  EXPECT_FALSE(bench.manager->HasSessions());
}

TEST(RtspServletDescribe, FollowsTheCodecTheFramesCarry) {
  Bench bench(/*configuredCodec=*/4);
  TRTSPServlet_DESCRIBE describe(bench.links);
  TFrameHeader header = MakeFrameHeader(3);
  std::vector<uint8_t> frame(kFrameHeaderSize);
  ASSERT_TRUE(WriteFrameHeader(header, frame));
  bench.Channel().DispatchFrame(frame);

  const Answer answer = bench.Run(describe, Request("DESCRIBE", "rtsp://h/live", 1));
  ASSERT_GE(answer.body.size(), 3u);
  EXPECT_EQ(answer.body[2], "s=MPEG-4 Video, streamed by Pelorix");
}

TEST(RtspServletDescribe, AnnouncesAudioOnlyWhenEnabledAndNamed) {
  struct Case {
    const char* what;
    bool enabled;
    int audioCodec;  // 0: no audio frame seen
    uint8_t format;
    std::vector<std::string> audioLines;
  };
  const Case cases[] = {
      {"enabled, PCMU at 8 kHz",
       true,
       129,
       1,
       {"m=audio 0 RTP/AVP 0", "a=rtpmap:0 PCMU/8000", "a=control:track2"}},
      {"enabled, PCMA at 16 kHz",
       true,
       130,
       4,
       {"m=audio 0 RTP/AVP 0", "a=rtpmap:0 PCMA/16000", "a=control:track2"}},
      {"enabled, no audio frame yet", true, 0, 0, {}},
      {"enabled, codec without a name", true, 128, 1, {}},
      {"disabled, PCMU on the channel", false, 129, 1, {}},
  };
  for (const Case& c : cases) {
    Bench bench;
    bench.links.audioEnabled = c.enabled;
    if (c.audioCodec != 0)
      FeedAudioFrame(bench.Channel(), static_cast<uint8_t>(c.audioCodec), c.format);
    TRTSPServlet_DESCRIBE describe(bench.links);
    const Answer answer = bench.Run(describe, Request("DESCRIBE", "rtsp://h/live", 1));
    ASSERT_GE(answer.body.size(), 9u) << c.what;
    EXPECT_EQ(answer.body[answer.body.size() - c.audioLines.size() - 1], "a=control:track1")
        << c.what;
    const std::vector<std::string> tail(answer.body.end() - static_cast<long>(c.audioLines.size()),
                                        answer.body.end());
    EXPECT_EQ(tail, c.audioLines) << c.what;
  }
}

TEST(RtspServletDescribe, WithoutAChannelAnswers453) {
  Bench bench;
  bench.channelMissing = true;
  TRTSPServlet_DESCRIBE describe(bench.links);
  const Answer answer = bench.Run(describe, Request("DESCRIBE", "rtsp://h/live", 4));
  EXPECT_EQ(answer.statusLine, "RTSP/1.0 453 Not Enough Bandwidth");
  EXPECT_EQ(answer.Names(), (std::vector<std::string>{"CSeq", "Date"}));
  EXPECT_TRUE(bench.servletLog.Has("create channel connect failed!"));
}

// The parameter sets exist only once the encoder has produced a key frame, and the encoder runs
// only while some session exists or DESCRIBE started it.
TEST(RtspServletDescribe, WaitsBoundedForParameterSetsOnlyWhileFramesAreBeingEncoded) {
  struct Case {
    const char* what;
    int codec;
    bool sessionExists;
    bool canStartCapture;
    int fmtpAfterPolls;  // -1: never
    int expectedPolls;
    bool fmtpDescribed;
  };
  const Case cases[] = {
      {"nothing encoded without sessions: no wait", 4, false, false, 1, 0, false},
      {"first describe starts the capture and waits", 4, false, true, 2, 2, true},
      {"encoding: waits until the line appears", 4, true, false, 3, 3, true},
      {"encoding, line never appears: stops at the bound", 4, true, false, -1, 20, false},
      {"MPEG-4 has no such line: no wait", 3, true, true, -1, 0, false},
  };
  for (const Case& c : cases) {
    Bench bench(c.codec);
    if (c.sessionExists) UdpSession(*bench.manager, "192.168.1.30", 40000);
    int polls = 0;
    int starts = 0;
    if (c.canStartCapture) bench.links.startCapture = [&] { ++starts; };
    bench.links.fmtpWait = milliseconds(1000);
    bench.links.fmtpPollStep = milliseconds(50);
    bench.links.sleep = [&](milliseconds step) {
      EXPECT_EQ(step, milliseconds(50));
      if (++polls == c.fmtpAfterPolls) bench.SetFmtp(kFmtp);
    };
    TRTSPServlet_DESCRIBE describe(bench.links);
    const Answer answer = bench.Run(describe, Request("DESCRIBE", "rtsp://h/live", 1));
    EXPECT_EQ(answer.statusLine, "RTSP/1.0 200 OK") << c.what;
    EXPECT_EQ(polls, c.expectedPolls) << c.what;
    EXPECT_EQ(starts, c.expectedPolls > 0 && c.canStartCapture ? 1 : 0) << c.what;
    bool described = false;
    for (const std::string& line : answer.body) described = described || line == kFmtp;
    EXPECT_EQ(described, c.fmtpDescribed) << c.what;
  }
}

}  // namespace
