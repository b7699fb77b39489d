#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "rtsp/RtspRequest.h"
#include "rtsp/RtspRequestHead.h"
#include "rtsp/RtspStatus.h"

namespace {

using namespace std::string_literals;

std::string HeadWithHeaders(std::size_t count) {
  std::string text = "OPTIONS * RTSP/1.0\r\n";
  for (std::size_t i = 0; i < count; ++i) text += "X-" + std::to_string(i) + ": 1\r\n";
  return text + "\r\n";
}

TEST(RtspRequest, ParsesTheRequestLineOrRefusesIt) {
  struct Case {
    std::string text;
    int32_t status;  // 0: parses
    std::string method = {};
    std::string uri = {};
    bool close = false;
  };
  const Case cases[] = {
      {"OPTIONS rtsp://10.0.0.1:6554/live RTSP/1.0\r\nCSeq: 1\r\n\r\n", 0, "OPTIONS",
       "rtsp://10.0.0.1:6554/live"},
      {"OPTIONS * HTTP/1.1\r\n\r\n", 0, "OPTIONS", "*"},
      {"options rtsp://h/live RTSP/1.0\nCSeq: 1\n\n", 0, "options", "rtsp://h/live"},
      {"PLAY rtsp://h/live RTSP/1.0 trailing words\r\n", 0, "PLAY", "rtsp://h/live"},
      {"\xff \x80 RTSP/1.0\r\nUser-Agent: a\tb\r\n", 0, "\xff", "\x80"},
      {"\x01\xff \x80 RTSP/1.0\r\n", 400},
      {"OPTIONS rtsp://h/\0live RTSP/1.0\r\n"s, 400},
      {"SETUP * RTSP/1.0\r\nTransport: RTP/AVP/TCP\x1b[2J\r\nContent-Length: 2\r\n", 400},
      {"GET_PARAMETER * RTSP/1.0\r\nSession: 1A2B\x7f\r\n", 400},
      {"OPTIONS  rtsp://h/live RTSP/1.0\r\n", 505},
      {"OPTIONS rtsp://h/live rtsp/1.0\r\n", 505},
      {"OPTIONS rtsp://h/live RTSP/2.0\r\n", 505},
      {"OPTIONS\trtsp://h/live\tRTSP/1.0\r\n", 505},
      {"OPTIONS rtsp://h/live\r\n", 505},
      {"", 505},
      {"\r\n", 505},
      {"\r\nOPTIONS * RTSP/1.0\r\n\r\n", 505},  // a leading blank line is a request of its own
      {"$\x00\x00\x08\x81\xc9\x00\x01"s + "\r\n", 505},
      {"GET_PARAMETER * RTSP/1.0\r\nContent-Length: 10\r\n\r\n", 0, "GET_PARAMETER", "*"},
      {"GET_PARAMETER * RTSP/1.0\r\nContent-Length:  65536 \r\n\r\n", 0, "GET_PARAMETER", "*"},
      {"GET_PARAMETER * RTSP/1.0\r\nContent-Length: 65537\r\n\r\n", 413, "", "", true},
      {"GET_PARAMETER * RTSP/1.0\r\nContent-Length: -1\r\n\r\n", 400, "", "", true},
      {"GET_PARAMETER * RTSP/1.0\r\nContent-Length: ten\r\n\r\n", 400, "", "", true},
      {"GET_PARAMETER * RTSP/1.0\r\nContent-Length: 99999999999\r\n\r\n", 400, "", "", true},
      {"GET_PARAMETER * RTSP/1.0\r\nContent-Length:\r\n\r\n", 400, "", "", true},
      {"GET_PARAMETER * RTSP/2.0\r\nContent-Length: 4\r\n\r\n", 505},
      {"GET_PARAMETER * RTSP/2.0\r\nContent-Length: 65537\r\n\r\n", 505, "", "", true},
      {"GET_PARAMETER * RTSP/1.0\r\nContent-Length: 0\r\ncontent-length: 0\r\n", 400, "", "", true},
      {"GET_PARAMETER * RTSP/2.0\r\nContent-Length: 0\r\n\r\n", 505},
      {HeadWithHeaders(kMaxRtspHeaderCount), 0, "OPTIONS", "*"},
      {HeadWithHeaders(kMaxRtspHeaderCount + 1), 400},
      {"OPTIONS * RTSP/1.0\r\nX: " + std::string(kMaxRtspRequestHeadBytes, 'a') + "\r\n\r\n", 400,
       "", "", true},
  };
  for (const Case& c : cases) {
    TRtspRequest request;
    EXPECT_EQ(request.Parse(c.text), c.status == 0) << c.text.substr(0, 80);
    EXPECT_EQ(request.ParseError().statusCode, c.status) << c.text.substr(0, 80);
    EXPECT_EQ(request.ParseError().closeConnection, c.close) << c.text.substr(0, 80);
    EXPECT_EQ(request.Method(), c.method);
    EXPECT_EQ(request.Uri(), c.uri);
  }
}

TEST(RtspRequest, HeaderLookupIgnoresCaseAndSeesTheFirstOfTwins) {
  TRtspRequest request;
  ASSERT_TRUE(
      request.Parse("PLAY rtsp://h/live RTSP/1.0\r\n"
                    "cseq: 9\r\n"
                    "Session: first\r\n"
                    "SESSION: second\r\n"
                    "Transport:RTP/AVP/TCP;interleaved=0-1\r\n"
                    "Range : npt=0-\r\n"
                    "no colon here\r\n"
                    "\r\n"
                    "X-Late: after a blank line\r\n"));
  EXPECT_EQ(request.GetCSeq(), 9);
  EXPECT_EQ(request.GetHeader("CSeq"), " 9");
  EXPECT_EQ(request.GetHeader("session"), " first");
  EXPECT_EQ(request.GetHeader("Transport"), "RTP/AVP/TCP;interleaved=0-1");
  EXPECT_FALSE(request.Headers().Has("Range"));
  EXPECT_EQ(request.GetHeader("Range "), " npt=0-");
  EXPECT_TRUE(request.Headers().Has("no colon here"));
  EXPECT_EQ(request.GetHeader("X-Late"), " after a blank line");
  EXPECT_EQ(request.Headers().Count(), 7u);
}

TEST(RtspRequest, CSeqReadsAsZeroWhenMissingOrNotANumber) {
  struct Case {
    std::string header;
    int32_t cseq;
  };
  const Case cases[] = {{"CSeq: 7\r\n", 7},     {"", 0},
                        {"CSeq: seven\r\n", 0}, {"CSeq:\r\n", 0},
                        {"CSeq: 7 \r\n", 7},    {"CSeq: 4294967303\r\n", 0},
                        {"CSeq : 7\r\n", 0},    {"C\xc3\x9fq: 7\r\n", 0}};
  for (const Case& c : cases) {
    TRtspRequest request;
    ASSERT_TRUE(request.Parse("OPTIONS * RTSP/1.0\r\n" + c.header + "\r\n"));
    EXPECT_EQ(request.GetCSeq(), c.cseq) << c.header;
  }
}

// Requests as the clients send them: a whole ffmpeg session, and the SETUP and PLAY of VLC
// (live555) and GStreamer, whose Transport offers differ.
TEST(RtspRequest, ReadsRealClientRequests) {
  struct Sample {
    std::string_view text;
    std::string_view method;
    std::string_view uri;
    int32_t cseq;
    std::string_view field;  // a header the handlers read, with its value as they see it
    std::string_view value;
  };
  const Sample samples[] = {
      {"OPTIONS rtsp://192.168.1.10:6554/live RTSP/1.0\r\nCSeq: 1\r\n"
       "User-Agent: Lavf59.27.100\r\n\r\n",
       "OPTIONS", "rtsp://192.168.1.10:6554/live", 1, "User-Agent", " Lavf59.27.100"},
      {"DESCRIBE rtsp://192.168.1.10:6554/live RTSP/1.0\r\nAccept: application/sdp\r\n"
       "CSeq: 2\r\nUser-Agent: Lavf59.27.100\r\n\r\n",
       "DESCRIBE", "rtsp://192.168.1.10:6554/live", 2, "Accept", " application/sdp"},
      {"SETUP rtsp://192.168.1.10:6554/live/track1 RTSP/1.0\r\n"
       "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\nCSeq: 3\r\n"
       "User-Agent: Lavf59.27.100\r\n\r\n",
       "SETUP", "rtsp://192.168.1.10:6554/live/track1", 3, "Transport",
       " RTP/AVP/TCP;unicast;interleaved=0-1"},
      {"PLAY rtsp://192.168.1.10:6554/live/ RTSP/1.0\r\nRange: npt=0.000-\r\nCSeq: 4\r\n"
       "User-Agent: Lavf59.27.100\r\nSession: 1A2B3C4D\r\n\r\n",
       "PLAY", "rtsp://192.168.1.10:6554/live/", 4, "Session", " 1A2B3C4D"},
      {"TEARDOWN rtsp://192.168.1.10:6554/live/ RTSP/1.0\r\nCSeq: 5\r\n"
       "User-Agent: Lavf59.27.100\r\nSession: 1A2B3C4D\r\n\r\n",
       "TEARDOWN", "rtsp://192.168.1.10:6554/live/", 5, "Session", " 1A2B3C4D"},
      {"SETUP rtsp://192.168.1.10:6554/live/track1 RTSP/1.0\r\nCSeq: 4\r\n"
       "User-Agent: LibVLC/3.0.18 (LIVE555 Streaming Media v2021.08.24)\r\n"
       "Transport: RTP/AVP;unicast;client_port=50712-50713\r\n\r\n",
       "SETUP", "rtsp://192.168.1.10:6554/live/track1", 4, "Transport",
       " RTP/AVP;unicast;client_port=50712-50713"},
      {"PLAY rtsp://192.168.1.10:6554/live/ RTSP/1.0\r\nCSeq: 5\r\n"
       "User-Agent: LibVLC/3.0.18 (LIVE555 Streaming Media v2021.08.24)\r\n"
       "Session: 1A2B3C4D\r\nRange: npt=0.000-\r\n\r\n",
       "PLAY", "rtsp://192.168.1.10:6554/live/", 5, "Session", " 1A2B3C4D"},
      {"SETUP rtsp://192.168.1.10:6554/live/track1 RTSP/1.0\r\nCSeq: 3\r\n"
       "User-Agent: GStreamer/1.22.0\r\nTransport: RTP/AVP;unicast;client_port=47652-47653;"
       "mode=\"PLAY\", RTP/AVP/TCP;unicast;interleaved=0-1;mode=\"PLAY\"\r\n\r\n",
       "SETUP", "rtsp://192.168.1.10:6554/live/track1", 3, "Transport",
       " RTP/AVP;unicast;client_port=47652-47653;mode=\"PLAY\", "
       "RTP/AVP/TCP;unicast;interleaved=0-1;mode=\"PLAY\""},
      {"PLAY rtsp://192.168.1.10:6554/live/ RTSP/1.0\r\nCSeq: 4\r\n"
       "User-Agent: GStreamer/1.22.0\r\nRange: npt=0-\r\nSession: 1A2B3C4D;timeout=60\r\n\r\n",
       "PLAY", "rtsp://192.168.1.10:6554/live/", 4, "Session", " 1A2B3C4D;timeout=60"},
  };
  for (const Sample& sample : samples) {
    TRtspRequest request;
    ASSERT_TRUE(request.Parse(sample.text)) << sample.text;
    EXPECT_EQ(request.Method(), sample.method);
    EXPECT_EQ(request.Uri(), sample.uri);
    EXPECT_EQ(request.GetCSeq(), sample.cseq) << sample.text;
    EXPECT_EQ(request.GetContentLength(), 0);
    EXPECT_EQ(request.GetHeader(sample.field), sample.value) << sample.text;
  }
}

TEST(RtspRequestHead, StopsCollectingAtTheLimitsParseApplies) {
  TRtspRequestHead full;
  EXPECT_EQ(full.AddLine("OPTIONS * RTSP/1.0"), TRtspRequestHead::TState::NeedMore);
  for (std::size_t i = 0; i < kMaxRtspHeaderCount; ++i)
    ASSERT_EQ(full.AddLine("X-" + std::to_string(i) + ": 1"), TRtspRequestHead::TState::NeedMore);
  EXPECT_EQ(full.AddLine(""), TRtspRequestHead::TState::Complete);
  EXPECT_EQ(full.AddLine("OPTIONS * RTSP/1.0"), TRtspRequestHead::TState::Complete);
  EXPECT_EQ(full.Text(), HeadWithHeaders(kMaxRtspHeaderCount));
  TRtspRequest request;
  EXPECT_TRUE(request.Parse(full.Text()));

  TRtspRequestHead tooMany;
  for (std::size_t i = 0; i < kMaxRtspHeaderCount + 1; ++i) tooMany.AddLine("X: 1");
  EXPECT_EQ(tooMany.AddLine("X: 1"), TRtspRequestHead::TState::TooLarge);
  EXPECT_EQ(tooMany.AddLine(""), TRtspRequestHead::TState::TooLarge);

  // Long lines: the bytes run out before the line count does.
  TRtspRequestHead tooLong;
  const std::string line(16384, 'x');
  TRtspRequestHead::TState state = TRtspRequestHead::TState::NeedMore;
  int added = 0;
  while (state == TRtspRequestHead::TState::NeedMore && added < 100) {
    state = tooLong.AddLine(line);
    ++added;
  }
  EXPECT_EQ(state, TRtspRequestHead::TState::TooLarge);
  EXPECT_EQ(added, 4);  // three lines with their CR LF fit into 64 KiB, a fourth does not
  EXPECT_LE(tooLong.Text().size(), kMaxRtspRequestHeadBytes);
}

}  // namespace
