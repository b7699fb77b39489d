// Requests over real loopback connections: how they are read, which handler gets them and what
// the client is answered.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "tests/stream/SessionTestSupport.h"
#include "ServiceTestSupport.h"

namespace service_test {
namespace {

class RtspServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = bench_.Start();
    ASSERT_NE(port_, 0) << "no free port on 127.0.0.1";
  }

  ServiceBench bench_{{
      {"SETUP", [](TRtspContext&) { throw std::runtime_error("transport broke"); }},
      {"PLAY", [](TRtspContext&) {}},
      {"TEARDOWN",
       [](TRtspContext& context) {
         context.SendResponse(kRtspOk);
         throw std::runtime_error("after the answer");
       }},
  }};
  uint16_t port_ = 0;
};

TEST_F(RtspServiceTest, AnswersEachRequestOfOneConnectionInTurn) {
  struct Case {
    std::string request;
    int status;
    std::string cseq;     // expected CSeq header; empty: none
    std::string servlet;  // handler that must see it; empty: none
    std::string logLine;  // expected log line; empty: none
  };
  const std::vector<Case> cases = {
      {Request("OPTIONS", 1), 200, "1", "OPTIONS", ""},
      {Request("options", 2), 200, "2", "OPTIONS", ""},
      {Request("Describe", 3), 200, "3", "DESCRIBE", ""},
      {"GET / HTTP/1.1\r\nCSeq: 4\r\n\r\n", 501, "4", "", "GET Not Find"},
      {"ANNOUNCE rtsp://127.0.0.1/live RTSP/1.0\r\n\r\n", 501, "0", "", "ANNOUNCE Not Find"},
      {"OPTIONS rtsp://127.0.0.1/live RTSP/2.0\r\nCSeq: 6\r\n\r\n", 505, "", "", ""},
      {Request("GET_PARAMETER", 7, "Session:  123456-1\r\n"), 454, "7", "", ""},  // no such one
      {Request("SET_PARAMETER", 8), 200, "8", "", ""},
      {Request("SET_PARAMETER", 9, "Content-Length: 11\r\n") + "volume: 5\r\n", 451, "9", "", ""},
      // Handler failures: each request still gets exactly one answer and the connection lives on.
      {Request("SETUP", 10), 500, "10", "SETUP", "SETUP execute failed, e=transport broke"},
      {Request("PLAY", 11), 500, "11", "PLAY", "PLAY execute sent no response"},
      {Request("TEARDOWN", 12), 200, "12", "TEARDOWN",
       "TEARDOWN execute failed, e=after the answer"},
      {Request("OPTIONS", 13), 200, "13", "OPTIONS", ""},
  };

  TestClient client(port_);
  ASSERT_TRUE(client.Connected());
  size_t handled = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    ASSERT_TRUE(client.Send(c.request));
    const auto response = client.ReadResponse();
    ASSERT_TRUE(response) << "no answer";
    EXPECT_EQ(response->status, c.status);
    EXPECT_EQ(response->Header("CSeq"), c.cseq);
    if (!c.servlet.empty()) {
      const auto seen = bench_.recorder.Seen();
      ASSERT_EQ(seen.size(), ++handled);
      EXPECT_EQ(seen.back().servlet, c.servlet);
    }
    // An answer may reach the client before its handler's failure is logged.
    if (!c.logLine.empty()) {
      EXPECT_TRUE(WaitForLine(bench_.log, c.logLine));
      EXPECT_EQ(bench_.log.Count(c.logLine), 1u);
    }
  }
  EXPECT_EQ(bench_.recorder.Seen().size(), handled);

  // The keep-alive answer names the session it kept alive, in the server's own words.
  const auto session = UdpSession(*bench_.sessions, "127.0.0.1", 40000);
  ASSERT_TRUE(client.Send(
      Request("GET_PARAMETER", 20, "Session: " + session->SessionName() + ";timeout=60\r\n")));
  const auto keepAlive = client.ReadResponse();
  ASSERT_TRUE(keepAlive);
  EXPECT_EQ(keepAlive->Header("Session"), session->SessionName() + ";timeout=12");
  EXPECT_EQ(bench_.log.Count("service excute failed"), 0u);
}

TEST_F(RtspServiceTest, HandlersSeeWhoIsAskingOnWhichConnection) {
  TestClient first(port_);
  TestClient second(port_);
  ASSERT_TRUE(first.Connected() && second.Connected());
  for (int cseq = 1; cseq <= 2; ++cseq) {
    ASSERT_TRUE(first.Send(Request("DESCRIBE", cseq)));
    ASSERT_TRUE(first.ReadResponse());
  }
  ASSERT_TRUE(second.Send(Request("DESCRIBE", 1)));
  ASSERT_TRUE(second.ReadResponse());

  const auto seen = bench_.recorder.Seen();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].peerAddress, "127.0.0.1");
  EXPECT_EQ(seen[0].peerPort, first.LocalPort());
  EXPECT_EQ(seen[2].peerPort, second.LocalPort());
  EXPECT_EQ(seen[0].uri, "rtsp://127.0.0.1/live");
  ASSERT_NE(seen[0].connection, nullptr);
  EXPECT_EQ(seen[0].connection, seen[1].connection);
  EXPECT_NE(seen[0].connection, seen[2].connection);
  EXPECT_TRUE(seen[0].connectionOpen);
}

TEST_F(RtspServiceTest, BodiesAreReadByContentLengthBeforeTheNextRequest) {
  TestClient client(port_);
  ASSERT_TRUE(client.Connected());
  // Everything in one send: a body that was not consumed would be read as a request.
  const std::string body = "ab\r\nOPTIO\r\n";  // 11 bytes that look like the start of a request
  ASSERT_TRUE(client.Send(Request("DESCRIBE", 1, "Content-Length: 11\r\n") + body +
                          Request("OPTIONS", 2, "Content-Length: -4\r\n") + Request("PLAY", 3) +
                          Request("TEARDOWN", 4, "Content-Length: 0\r\n")));
  std::vector<int> answered;
  for (int i = 0; i < 4; ++i) {
    const auto response = client.ReadResponse();
    ASSERT_TRUE(response);
    answered.push_back(std::stoi(response->Header("CSeq")));
  }
  EXPECT_EQ(answered, (std::vector<int>{1, 2, 3, 4}));

  const auto seen = bench_.recorder.Seen();
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[0].body, (std::vector<std::string>{"ab", "OPTIO"}));
  EXPECT_EQ(seen[1].servlet, "OPTIONS");
  EXPECT_TRUE(seen[1].body.empty());
  EXPECT_EQ(seen[2].servlet, "PLAY");
  EXPECT_EQ(seen[3].servlet, "TEARDOWN");
}

TEST_F(RtspServiceTest, InterleavedFramesAndStrayLineEndsBetweenRequestsAreSkipped) {
  std::string rtcp = "$";
  rtcp += '\x01';
  rtcp += std::string("\x00\x0a", 2);
  rtcp += std::string("\x80\xc9\x00\x01\r\n\n$\x00", 10);  // line ends and "$" inside the data
  std::string largest = "$";
  largest += '\x03';
  largest += std::string("\xff\xff", 2);
  largest += std::string(65535, '\n');
  const std::string empty = std::string("$\x00\x00\x00", 4);

  TestClient client(port_);
  ASSERT_TRUE(client.Connected());
  ASSERT_TRUE(client.Send(rtcp + Request("OPTIONS", 1) + "\r\n\r\n" + empty + largest +
                          Request("PLAY", 2) + rtcp + "\n" +
                          Request("TEARDOWN", 3)));
  for (int cseq = 1; cseq <= 3; ++cseq) {
    const auto response = client.ReadResponse();
    ASSERT_TRUE(response) << "answer " << cseq;
    EXPECT_EQ(response->Header("CSeq"), std::to_string(cseq));
  }
  // Nothing else was taken for a request: no further answer is pending.
  EXPECT_FALSE(client.ReadResponse(200ms));
  EXPECT_EQ(bench_.recorder.Seen().size(), 3u);
}

TEST_F(RtspServiceTest, StrayBytesInFrontOfTeardownDoNotCostTheTeardown) {
  TestClient client(port_);
  ASSERT_TRUE(client.Connected());
  // Bytes of an interleaved frame cut short, glued to the request line.
  ASSERT_TRUE(client.Send(std::string("\x80\xc8\x00", 3) + Request("TEARDOWN", 9)));
  const auto teardown = client.ReadResponse();
  ASSERT_TRUE(teardown);
  EXPECT_EQ(teardown->status, 200);
  EXPECT_EQ(teardown->Header("CSeq"), "9");

  // A request that parses as sent is never cut at a TEARDOWN inside it.
  ASSERT_TRUE(client.Send(
      "DESCRIBE rtsp://127.0.0.1/TEARDOWN RTSP/1.0\r\nCSeq: 10\r\nX-Note: TEARDOWN\r\n\r\n"));
  const auto describe = client.ReadResponse();
  ASSERT_TRUE(describe);
  EXPECT_EQ(describe->Header("CSeq"), "10");

  const auto seen = bench_.recorder.Seen();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].servlet, "TEARDOWN");
  EXPECT_EQ(seen[1].servlet, "DESCRIBE");
  EXPECT_EQ(seen[1].uri, "rtsp://127.0.0.1/TEARDOWN");
}

TEST_F(RtspServiceTest, KeepAlivesKeepTheUdpSessionTheyNameAliveForItsOwnClientOnly) {
  // UDP sessions whose setting-up connection has gone: nothing but requests and datagrams from
  // their client keeps them, and a client elsewhere is told there is no such session.
  const auto own = UdpSession(*bench_.sessions, "127.0.0.1", 40000);
  const auto foreign = UdpSession(*bench_.sessions, "192.0.2.7", 40000);
  ASSERT_TRUE(own->StartStreaming() && foreign->StartStreaming());
  TestClient client(port_);
  ASSERT_TRUE(client.Connected());
  int cseq = 0;
  // A minute of keep-alives ten seconds apart, inside the session time-out each time.
  for (int round = 0; round < 6; ++round) {
    bench_.clock.tick += 10000;
    const char* method = round % 2 == 0 ? "GET_PARAMETER" : "SET_PARAMETER";
    for (const auto& session : {own, foreign}) {
      ASSERT_TRUE(client.Send(
          Request(method, ++cseq, "Session: " + session->SessionName() + ";timeout=12\r\n")));
      const auto answer = client.ReadResponse();
      ASSERT_TRUE(answer);
      EXPECT_EQ(answer->status, session == own ? 200 : 454);
    }
  }
  EXPECT_FALSE(own->IsExpired());
  EXPECT_TRUE(foreign->IsExpired()) << "kept alive by a client at another address";
}

}  // namespace
}  // namespace service_test
