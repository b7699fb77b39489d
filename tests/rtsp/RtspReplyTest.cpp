// Responses of media servers as the publishing client reads them.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "rtsp/RtspReply.h"

namespace {

TEST(RtspReply, ReadsStatusLinesAndRefusesWhatIsNoRtspResponse) {
  struct Case {
    std::string head;
    int32_t status;  // 0: refused
    std::string reason = {};
  };
  const std::vector<Case> cases = {
      {"RTSP/1.0 200 OK\r\nCSeq: 2\r\n", 200, "OK"},
      {"RTSP/1.0 401 Unauthorized\nCSeq: 2", 401, "Unauthorized"},
      {"RTSP/1.0 454", 454},
      {"RTSP/1.0 200 OK\r\nContent-Length: 12", 200, "OK"},
      {"", 0},
      {"RTSP/1.1 200 OK", 0},
      {"RTSP/1.0 20 OK", 0},
      {"RTSP/1.0 2000 OK", 0},
      {"RTSP/1.0 099 Low", 0},
      {"RTSP/1.0  200 OK", 0},
      {"RTSP/1.0 2x0 OK", 0},
      {"RTSP/1.0 200 O\x1bK", 0},
      {"RTSP/1.0 200 OK\r\nServer: a\x7f", 0},
      {"RTSP/1.0 200 OK\r\nContent-Length: 1\r\nContent-Length: 1", 0},
      {"RTSP/1.0 200 OK\r\nContent-Length: -1", 0},
      {"RTSP/1.0 200 OK\r\nContent-Length: 65537", 0},
      {"RTSP/1.0 200 OK\r\n" + std::string(kMaxRtspReplyHeadBytes, 'a'), 0},
  };
  TRtspReply reply;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.head);
    EXPECT_EQ(reply.Parse(c.head), c.status != 0);
    EXPECT_EQ(reply.StatusCode(), c.status);
    EXPECT_EQ(reply.Reason(), c.reason);
    EXPECT_EQ(reply.ParseError().empty(), c.status != 0) << reply.ParseError();
  }
}

TEST(RtspReply, GivesSessionTimeoutAndEveryChallenge) {
  struct Case {
    std::string session, name;
    std::optional<int32_t> timeout;
  };
  const std::vector<Case> cases = {
      {"Session: abc;timeout=60", "abc", 60},
      {"Session:  12345678 ; Timeout = 30 ", "12345678", 30},
      {"Session: abc", "abc", std::nullopt},
      {"Session: abc;timeout=0", "abc", std::nullopt},
      {"CSeq: 1", "", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.session);
    TRtspReply reply;
    ASSERT_TRUE(reply.Parse("RTSP/1.0 200 OK\r\n" + c.session + "\r\n"));
    EXPECT_EQ(reply.SessionName(), c.name);
    EXPECT_EQ(reply.SessionTimeoutSeconds(), c.timeout);
  }

  TRtspReply reply;
  ASSERT_TRUE(reply.Parse(
      "RTSP/1.0 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"r\", nonce=\"n\"\r\n"
      "CSeq: 3\r\nwww-authenticate:Basic realm=\"r\"\r\n"));
  EXPECT_EQ(reply.GetAll("WWW-Authenticate"),
            (std::vector<std::string>{" Digest realm=\"r\", nonce=\"n\"", "Basic realm=\"r\""}));
}

}  // namespace
