// Input that must not make the server hold memory or a thread without bound, and clients that
// misbehave without disturbing the others.
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <string>
#include <vector>

#include "ServiceTestSupport.h"

namespace service_test {
namespace {

class RtspServiceLimitsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = bench_.Start();
    ASSERT_NE(port_, 0) << "no free port on 127.0.0.1";
  }

  // Another client is served normally.
  void ExpectServiceAnswers() {
    TestClient other(port_);
    ASSERT_TRUE(other.Connected());
    ASSERT_TRUE(other.Send(Request("OPTIONS", 77)));
    const auto response = other.ReadResponse();
    ASSERT_TRUE(response);
    EXPECT_EQ(response->Header("CSeq"), "77");
  }

  ServiceBench bench_;
  uint16_t port_ = 0;
};

std::string ManyHeaders(size_t count, size_t valueLength) {
  std::string headers;
  for (size_t i = 0; i < count; ++i)
    headers += "X-Field-" + std::to_string(i) + ": " + std::string(valueLength, 'v') + "\r\n";
  return headers;
}

TEST_F(RtspServiceLimitsTest, OversizedInputIsAnsweredThenTheConnectionClosedWithALogLine) {
  struct Case {
    std::string name;
    std::string input;
    int answer;  // status answered before the close
    std::string reason;
    std::string cseq = "1";  // empty: none
  };
  const std::vector<Case> cases = {
      {"head over 64 KiB", Request("OPTIONS", 1, ManyHeaders(9, 8000)), 400,
       "request head over 65536 bytes"},
      {"too many header fields", Request("OPTIONS", 1, ManyHeaders(150, 4)), 400,
       "request head over 65536 bytes or 100 header fields"},
      {"body over 64 KiB", Request("OPTIONS", 1, "Content-Length: 65537\r\n"), 413,
       "request body over 65536 bytes"},
      {"request line over 16384 characters", "OPTIONS rtsp://127.0.0.1/" + std::string(20000, 'a'),
       414, "line longer than 16384 characters (request line)", ""},
      {"long header line", Request("OPTIONS", 1, "X: " + std::string(20000, 'a') + "\r\n"), 400,
       "line longer than 16384 characters (header field)"},
      {"unreadable Content-Length", Request("OPTIONS", 1, "Content-Length: ten\r\n") + "0123456789",
       400, "bad Content-Length"},
      {"two Content-Lengths", Request("OPTIONS", 1, "Content-Length: 2\r\nContent-Length: 2\r\n"),
       400, "bad Content-Length: given twice"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string logLine = "service excute failed, e=" + c.reason;
    TestClient client(port_);
    ASSERT_TRUE(client.Connected());
    // The server may close while the rest is still being sent.
    client.Send(c.input);
    const auto response = client.ReadResponse();
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, c.answer);
    EXPECT_EQ(response->Header("CSeq"), c.cseq);
    EXPECT_FALSE(response->Header("Date").empty());
    EXPECT_TRUE(client.WaitClosed());
    EXPECT_TRUE(WaitForLine(bench_.log, logLine));
    ExpectServiceAnswers();
  }
  EXPECT_EQ(bench_.recorder.Seen().size(), cases.size()) << "only the probes were handled";
}

// Never echoed (a keep-alive echoes Session): refused before any handler, a body skipped.
TEST_F(RtspServiceLimitsTest, ControlCharactersAreRefusedAndTheConnectionGoesOn) {
  TestClient client(port_);
  ASSERT_TRUE(client.Send(
      Request("GET_PARAMETER", 1, "Session: 1A2B\x1b]0;x\x07\r\n") +
      Request("SETUP", 2, "Transport: RTP/AVP/TCP\x1b[2J\r\n") + "OPTIONS rtsp://127.0.0.1/" +
      std::string(1, '\0') + " RTSP/1.0\r\nCSeq: 3\r\n\r\n" +
      Request("OPTIONS", 4, "X: \x7f\r\nContent-Length: 5\r\n") + "OPTIO" + Request("OPTIONS", 5)));
  for (int cseq = 1; cseq <= 5; ++cseq) {
    const auto response = client.ReadResponse();
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, cseq == 5 ? 200 : 400);
    EXPECT_EQ(response->Header("CSeq"), std::to_string(cseq));
  }
  EXPECT_EQ(bench_.recorder.Seen().size(), 1u);
}

TEST_F(RtspServiceLimitsTest, LargestAllowedBodyIsRead) {
  TestClient client(port_);
  ASSERT_TRUE(client.Connected());
  const std::string body = std::string(65534, 'b') + "\r\n";
  ASSERT_TRUE(client.Send(Request("DESCRIBE", 1, "Content-Length: 65536\r\n") + body +
                          Request("OPTIONS", 2)));
  for (int cseq = 1; cseq <= 2; ++cseq) {
    const auto response = client.ReadResponse();
    ASSERT_TRUE(response);
    EXPECT_EQ(response->Header("CSeq"), std::to_string(cseq));
  }
  const auto seen = bench_.recorder.Seen();
  ASSERT_EQ(seen.size(), 2u);
  ASSERT_EQ(seen[0].body.size(), 1u);
  EXPECT_EQ(seen[0].body[0].size(), 65534u);
}

TEST_F(RtspServiceLimitsTest, SilentAndVanishingClientsDoNotDisturbOthers) {
  TestClient silent(port_);
  ASSERT_TRUE(silent.Connected());
  ASSERT_TRUE(
      WaitForLine(bench_.log, "connected from 127.0.0.1:" + std::to_string(silent.LocalPort())));

  const std::vector<std::string> halves = {
      "OPTIONS rtsp://127.0.0.1/live RTSP/1.0\r\nCSeq: 1\r\n",
      "OPTIONS rtsp://127.0.0.1/li",
      Request("DESCRIBE", 1, "Content-Length: 100\r\n") + "only part of the body",
      std::string("$\x01\x00\x40partial frame", 17),
  };
  for (const std::string& half : halves) {
    SCOPED_TRACE(half);
    const size_t failures = bench_.log.Count("service excute failed, e=");
    const size_t disconnects = bench_.log.Count("disconnect from 127.0.0.1:");
    {
      TestClient vanishing(port_);
      ASSERT_TRUE(vanishing.Connected());
      ASSERT_TRUE(vanishing.Send(half));
      ExpectServiceAnswers();
    }
    EXPECT_TRUE(WaitForLine(bench_.log, "disconnect from 127.0.0.1:", disconnects + 2));
    EXPECT_TRUE(WaitForLine(bench_.log, "service excute failed, e=", failures + 2));
  }
  // The silent client is still being served.
  ASSERT_TRUE(silent.Send(Request("OPTIONS", 5)));
  const auto response = silent.ReadResponse();
  ASSERT_TRUE(response);
  EXPECT_EQ(response->Header("CSeq"), "5");
  EXPECT_EQ(bench_.recorder.Seen().size(), halves.size() + 1) << "no half request handled";
}

TEST(RtspServiceSlowClients, OnlyTheFirstRequestHasATimeLimit) {
  ServiceBench bench({}, {}, 300ms);
  const uint16_t port = bench.Start();
  ASSERT_NE(port, 0);
  TestClient silent(port);
  TestClient trickling(port);
  TestClient served(port);
  ASSERT_TRUE(silent.Connected() && trickling.Connected() && served.Connected());
  ASSERT_TRUE(trickling.Send("OPTIONS rtsp://127.0.0.1/live RTSP/1.0\r\n"));
  ASSERT_TRUE(served.Send(Request("OPTIONS", 1)));
  ASSERT_TRUE(served.ReadResponse());

  EXPECT_TRUE(silent.WaitClosed(3000ms));
  EXPECT_TRUE(trickling.WaitClosed(3000ms));
  EXPECT_TRUE(WaitForLine(bench.log, "service excute failed, e=read time limit reached", 2));
  // Well past the limit: a client that has been served idles as long as it likes.
  std::this_thread::sleep_for(400ms);
  ASSERT_TRUE(served.Send(Request("DESCRIBE", 2)));
  const auto answer = served.ReadResponse();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->Header("CSeq"), "2");
}

TEST(RtspServiceSlowClients, AtTheCapTheIdlestConnectionWithoutASessionMakesRoomOrTheNewOneGoes) {
  platform::TTcpLimits limits;
  limits.maxConnections = 3;
  ServiceBench* self = nullptr;
  ServiceBench bench({{"SETUP",
                       [&self](TRtspContext& context) {
                         self->sessions->AddSession(context.Requester());
                         context.SendResponse(kRtspOk);
                       }}},
                     limits, 10000ms, {}, 1000ms);
  self = &bench;
  const uint16_t port = bench.Start();
  ASSERT_NE(port, 0);
  const auto admit = [port](const char* method, int cseq) {
    auto client = std::make_unique<TestClient>(port);
    EXPECT_TRUE(client->Send(Request(method, cseq)));
    EXPECT_TRUE(client->ReadResponse());
    return client;
  };
  std::vector<std::unique_ptr<TestClient>> admitted;
  admitted.push_back(admit("OPTIONS", 1));
  admitted.push_back(admit("SETUP", 2));
  admitted.push_back(admit("OPTIONS", 3));
  // At the cap, the idlest connection without a session goes for the newcomer.
  admitted.push_back(admit("SETUP", 4));
  EXPECT_TRUE(admitted[0]->WaitClosed(2000ms));
  EXPECT_EQ(bench.log.Count("too many connections, closed the idle 127.0.0.1:"), 1u);
  // Left quiet past the idle limit, the other one without a session is closed too.
  EXPECT_TRUE(admitted[2]->WaitClosed(3000ms));
  EXPECT_TRUE(WaitForLine(bench.log, "closed idle connection from 127.0.0.1:"));
  ASSERT_TRUE(WaitUntil([&] { return bench.log.Count("disconnect from") == 2; }));
  admitted.push_back(admit("SETUP", 5));
  // Every place held by a session: newcomers are closed at once, with one line a second.
  for (int i = 0; i < 5; ++i) {
    TestClient refused(port);
    ASSERT_TRUE(refused.Connected());
    EXPECT_TRUE(refused.WaitClosed(2000ms)) << "connection " << i << " beyond the cap";
  }
  EXPECT_EQ(bench.log.Count("too many connections, refused 127.0.0.1:"), 1u);
  EXPECT_FALSE(admitted[1]->WaitClosed(100ms)) << "a connection with a session is never idle";

  // A place that frees up is taken by the next client.
  admitted[1].reset();
  ASSERT_TRUE(WaitUntil([&] { return bench.log.Count("disconnect from") == 3; }));
  admit("OPTIONS", 9);
}

}  // namespace
}  // namespace service_test
