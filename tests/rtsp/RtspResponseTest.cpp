#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Clock.h"
#include "rtsp/RtspRequestContext.h"
#include "rtsp/RtspResponse.h"
#include "tests/support/FakeClock.h"

namespace {

struct Field {
  std::string name;
  std::string value;
};

TEST(RtspResponse, BuildsStatusLineHeadersAndBody) {
  struct Case {
    int32_t status;
    std::vector<Field> fields;
    std::vector<std::string> body;
    std::string message;
  };
  const Case cases[] = {
      {200, {{"CSeq", "0"}}, {}, "RTSP/1.0 200 OK\r\nCSeq: 0\r\n\r\n"},
      {999, {}, {}, "RTSP/1.0 999 \r\n\r\n"},
      {200,  // a second Set replaces in place, spelled as given; an empty value removes
       {{"CSeq", "1"},
        {"Session", "abc"},
        {"Public", "x"},
        {"session", "def"},
        {"Public", ""},
        {"Absent", ""}},
       {},
       "RTSP/1.0 200 OK\r\nCSeq: 1\r\nsession: def\r\n\r\n"},
      {200,
       {{"CSeq", "2"}, {"Content-Type", "application/sdp"}, {"Date", "x"}},
       {"v=0", "t=0 0"},
       "RTSP/1.0 200 OK\r\nCSeq: 2\r\nContent-Type: application/sdp\r\nDate: x\r\n"
       "Content-Length: 12\r\n\r\nv=0\r\nt=0 0\r\n"},
      {200,  // a Content-Length set early keeps its place and gets the true length
       {{"Content-Length", "999"}, {"CSeq", "1"}},
       {""},
       "RTSP/1.0 200 OK\r\nContent-Length: 2\r\nCSeq: 1\r\n\r\n\r\n"},
      {200,  // no body: a Content-Length set by a handler is left out
       {{"CSeq", "1"}, {"Content-Length", "10"}},
       {},
       "RTSP/1.0 200 OK\r\nCSeq: 1\r\n\r\n"},
      {200,
       {{"Transport", "RTP/AVP;unicast;client_port=5000-5001;server_port=6554-6555"},
        {"RTP-Info", "url=trackID=1;seq=0"}},
       {},
       "RTSP/1.0 200 OK\r\nTransport: RTP/AVP;unicast;client_port=5000-5001;"
       "server_port=6554-6555\r\nRTP-Info: url=trackID=1;seq=0\r\n\r\n"},
      {200,  // a value cannot break out of its line
       {{"Content-Base", "rtsp://h/a\r\nCSeq: 9\r\n\r\nBODY"}},
       {},
       "RTSP/1.0 200 OK\r\nContent-Base: rtsp://h/a  CSeq: 9    BODY\r\n\r\n"},
  };
  for (const Case& c : cases) {
    TRtspResponse response;
    response.SetStatusCode(c.status);
    for (const Field& field : c.fields) response.SetHeader(field.name, field.value);
    for (const std::string& line : c.body) response.AddContentLine(line);
    EXPECT_EQ(response.BuildMessage(), c.message);
  }
}

// What a peer reads back from the wire is what was set, with the space after each colon.
TEST(RtspResponse, ReadsBackAsItWasBuilt) {
  TRtspResponse response;
  response.SetStatusCode(461);
  const std::vector<Field> fields = {
      {"CSeq", "41"}, {"Transport", "a=b=c;d"}, {"X-Colon", "one: two"}, {"X-Space", "  lead"}};
  for (const Field& field : fields) response.SetHeader(field.name, field.value);
  response.AddContentLine("v=0");
  response.AddContentLine("");
  response.AddContentLine("a=control:track1");
  const std::string message = response.BuildMessage();

  const std::size_t headEnd = message.find("\r\n\r\n");
  ASSERT_NE(headEnd, std::string::npos);
  TRtspResponse readBack;  // only the head parse of the base is used
  ASSERT_TRUE(readBack.TRtspBase::Parse(std::string_view(message).substr(0, headEnd + 2)));
  EXPECT_EQ(readBack.StartLine(), "RTSP/1.0 461 Unsupported transport");
  for (const Field& field : fields) EXPECT_EQ(readBack.GetHeader(field.name), " " + field.value);
  const std::string body = message.substr(headEnd + 4);
  EXPECT_EQ(readBack.GetContentLength(), static_cast<int32_t>(body.size()));
  readBack.SetContent(body);
  EXPECT_EQ(readBack.Content(), response.Content());
}


// Date is UTC while the clock reads local time, so these tests fix the time zone: one hour east of
// UTC in winter, two in summer.
class RtspContextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* zone = std::getenv("TZ")) savedZone_ = zone;
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
  }
  void TearDown() override {
    if (savedZone_) {
      setenv("TZ", savedZone_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

  TRtspContext MakeContext(bool writeSucceeds = true) {
    return TRtspContext(
        {nullptr, "192.168.1.10", "192.168.1.20", 50000},
        [this, writeSucceeds](std::string_view bytes) {
          writes.emplace_back(bytes);
          return writeSucceeds;
        },
        clock);
  }

  FakeClock clock{{2026, 12, 6, 10, 5, 3, 999}, 0};
  std::vector<std::string> writes;

 private:
  std::optional<std::string> savedZone_;
};

TEST_F(RtspContextTest, AnswersInOneWriteWithCSeqFirstAndDateInUtcLast) {
  TRtspContext context = MakeContext();
  ASSERT_TRUE(context.ParseRequest("options * RTSP/1.0\r\ncseq: 7\r\n\r\n"));
  context.Response().SetHeader("Server", "Pelorix Version 1.0");
  context.Response().SetHeader("Public", "OPTIONS, DESCRIBE, PLAY, SETUP, TEARDOWN");
  context.SendResponse(200);
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0],
            "RTSP/1.0 200 OK\r\nCSeq: 7\r\nServer: Pelorix Version 1.0\r\n"
            "Public: OPTIONS, DESCRIBE, PLAY, SETUP, TEARDOWN\r\n"
            "Date: Sun, 6 Dec 2026 09:05:03 GMT\r\n\r\n");

  clock.local = {2026, 7, 1, 1, 30, 0, 0};  // summer time, and the day before in UTC
  TRtspContext described = MakeContext();
  ASSERT_TRUE(described.ParseRequest("DESCRIBE rtsp://h/live RTSP/1.0\r\n\r\n"));
  described.Response().SetContentType("application/sdp");
  described.Response().AddContentLine("v=0");
  described.SendResponse(200);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[1],
            "RTSP/1.0 200 OK\r\nCSeq: 0\r\nContent-Type: application/sdp\r\n"
            "Date: Tue, 30 Jun 2026 23:30:00 GMT\r\nContent-Length: 5\r\n\r\nv=0\r\n");
}

TEST_F(RtspContextTest, RefusalsEchoCSeqUnlessTheRequestLineWasRefused) {
  struct Case {
    std::string_view request;
    std::string answer;
  };
  const Case cases[] = {
      {"OPTIONS * RTSP/9.9\r\nCSeq: 3\r\n\r\n",
       "RTSP/1.0 505 RTSP Version not supported\r\nDate: Sun, 6 Dec 2026 09:05:03 GMT\r\n\r\n"},
      {"SET_PARAMETER * RTSP/1.0\r\nCSeq: 4\r\nContent-Length: -1\r\n\r\n",
       "RTSP/1.0 400 Bad Request\r\nCSeq: 4\r\nDate: Sun, 6 Dec 2026 09:05:03 GMT\r\n\r\n"},
      {"SET_PARAMETER * RTSP/1.0\r\nContent-Length: 70000\r\n\r\n",
       "RTSP/1.0 413 Request Entity Too Large\r\nCSeq: 0\r\n"
       "Date: Sun, 6 Dec 2026 09:05:03 GMT\r\n\r\n"},
  };
  for (const Case& c : cases) {
    writes.clear();
    TRtspContext context = MakeContext();
    EXPECT_FALSE(context.ParseRequest(c.request));
    context.SendResponse(context.Request().ParseError().statusCode);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0], c.answer);
  }
}

TEST_F(RtspContextTest, FailedOrRepeatedSendsAreReported) {
  TRtspContext keepsStatus = MakeContext();
  keepsStatus.SendResponse(0);
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].substr(0, 24), "RTSP/1.0 404 Not Found\r\n");
  EXPECT_THROW(keepsStatus.SendResponse(200), std::logic_error);
  EXPECT_EQ(writes.size(), 1u);

  TRtspContext lost = MakeContext(false);
  EXPECT_THROW(lost.SendResponse(200), TRtspWriteError);
  EXPECT_EQ(writes.size(), 2u);
  EXPECT_TRUE(lost.ResponseSent());

  EXPECT_THROW(TRtspContext({}, TRtspResponseWriter{}, clock), std::invalid_argument);
}

}  // namespace
