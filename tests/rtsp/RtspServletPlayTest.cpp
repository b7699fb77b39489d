#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ServletTestSupport.h"

namespace {

using namespace servlet_test;

const std::string kTcp = "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n";
const std::string kUdp = "Transport: RTP/AVP;unicast;client_port=5000-5001\r\n";

class RtspServletSession : public ::testing::Test {
 public:  // the table of requests below reaches in
  // Sets the client up and returns the session name the answer gave.
  std::string Setup(const std::string& transport, const char* uri = "rtsp://h/live/track1",
                    const Client& client = {}, const std::string& session = {}) {
    const std::string named = session.empty() ? "" : "Session: " + session + "\r\n";
    const Answer answer = bench_.Run(setup_, Request("SETUP", uri, 3, named + transport), client);
    EXPECT_EQ(answer.statusLine, "RTSP/1.0 200 OK");
    const std::string given = answer.Header("Session");
    return given.substr(0, given.find(';'));
  }
  Answer Play(const std::string& sessionHeader, const Client& client = {},
              const std::string& uri = "rtsp://h/live/") {
    return bench_.Run(
        play_, Request("PLAY", uri, 4, "Session: " + sessionHeader + "\r\nRange: npt=0.000-\r\n"),
        client);
  }
  Answer Teardown(const std::string& sessionHeader, const Client& client = {}) {
    return bench_.Run(
        teardown_, Request("TEARDOWN", "rtsp://h/live/", 5, "Session: " + sessionHeader + "\r\n"),
        client);
  }

  // With sessions streaming, DESCRIBE would otherwise wait for the parameter sets.
  RtspServletSession() {
    bench_.SetFmtp("a=fmtp:96 packetization-mode=1");
    FeedAudioFrame(bench_.Channel(), 129);
  }

  TRtspServletLinks UdpLinks() {
    TRtspServletLinks links = bench_.links;
    links.udpEnabled = true;
    links.audioEnabled = true;
    return links;
  }

  Bench bench_;
  TRTSPServlet_SETUP setup_{UdpLinks()};
  TRTSPServlet_PLAY play_{UdpLinks()};
  TRTSPServlet_TEARDOWN teardown_{UdpLinks()};
  TRTSPServlet_Options options_{UdpLinks()};
  TRTSPServlet_DESCRIBE describe_{UdpLinks()};
};

TEST_F(RtspServletSession, StartsTheSessionAndAnswersRangeAndRtpInfo) {
  struct Case {
    const char* what;
    std::vector<const char*> uris;
    std::string transport;
    std::string sessionSuffix;
    const char* playUri;
    const char* rtpInfo;
  };
  // Each url must be the track's control URL (Content-Base plus the SDP's control name), or
  // clients cannot pair it with the stream and do without the first sequence number.
  const Case cases[] = {
      {"interleaved video",
       {"rtsp://h/live/track1"},
       kTcp,
       "",
       "rtsp://h/live/",
       "url=rtsp://h/live/track1;seq=0"},
      {"interleaved video and audio",
       {"rtsp://h/live/track1", "rtsp://h/live/track2"},
       kTcp,
       "",
       "rtsp://h/live",
       "url=rtsp://h/live/track1;seq=0,url=rtsp://h/live/track2;seq=0"},
      {"UDP video, the track's own URI played",
       {"rtsp://h/live/track1"},
       kUdp,
       ";timeout=12",
       "rtsp://h:6554/live/TRACK1/",
       "url=rtsp://h:6554/live/track1;seq=0"},
  };
  int32_t port = 50000;
  for (const Case& c : cases) {
    const Client client{"192.168.1.20", port++, nullptr, false};
    std::string name;
    for (const char* uri : c.uris) name = Setup(c.transport, uri, client, name);
    const int keyFramesBefore = bench_.keyFrameRequests.load();
    const Answer answer = Play(name, client, c.playUri);
    EXPECT_EQ(answer.statusLine, "RTSP/1.0 200 OK") << c.what;
    EXPECT_EQ(answer.Names(),
              (std::vector<std::string>{"CSeq", "Session", "Range", "RTP-Info", "Date"}));
    EXPECT_EQ(answer.Header("Session"), name + c.sessionSuffix) << c.what;
    EXPECT_EQ(answer.Header("Range"), "npt=0.000-");
    EXPECT_EQ(answer.Header("RTP-Info"), c.rtpInfo) << c.what;
    const auto session = bench_.manager->FindSessionByName(name);
    ASSERT_NE(session, nullptr);
    EXPECT_TRUE(session->Playing()) << c.what;
    EXPECT_GT(bench_.keyFrameRequests.load(), keyFramesBefore) << "a new viewer needs a key frame";
    EXPECT_EQ(bench_.servletLog.Lines().back(), "send ok response");
  }
}

TEST_F(RtspServletSession, FindsTheSessionByTheNamePartOnlyForItsOwnClient) {
  const std::string name = Setup(kTcp);
  struct Case {
    std::string header;
    Client client;
    int status;
  };
  const Case cases[] = {
      {name + ";timeout=60", {}, 200},
      {"  " + name + " \t", {}, 200},
      {name + " ;timeout=60", {}, 200},
      {name, {"192.168.1.21", 49152, nullptr, false}, 454},
      {name + "x", {}, 454},
      {"", {}, 454},
      {";timeout=60", {}, 454},
      {"\xff\x80;;;", {}, 454},
  };
  for (const Case& c : cases) {
    const Answer answer = Play(c.header, c.client);
    EXPECT_EQ(answer.statusLine,
              c.status == 200 ? "RTSP/1.0 200 OK" : "RTSP/1.0 454 Session Not Found")
        << "[" << c.header << "]";
    if (c.status == 454) {
      EXPECT_EQ(answer.Names(), (std::vector<std::string>{"CSeq", "Date"}));
    }
  }
  const Answer noHeader = bench_.Run(play_, Request("PLAY", "rtsp://h/live/", 9));
  EXPECT_EQ(noHeader.statusLine, "RTSP/1.0 454 Session Not Found");
}

// A session whose source cannot be opened.
class ClosedSourceSession final : public TBaseSession {
 public:
  explicit ClosedSourceSession(const TSessionLinks& links) : TBaseSession(links, "Closed") {}
  ~ClosedSourceSession() override { Shutdown(); }
  bool OpenSource() override { return false; }
  void CloseSource() override {}
  void PrepareSource() override {}
};

class ClosedSourceManager final : public TLiveSessionManager {
 public:
  using TLiveSessionManager::TLiveSessionManager;

 protected:
  SessionPtr CreateSession() override { return std::make_shared<ClosedSourceSession>(Links()); }
};

TEST(RtspServletPlay, AStartThatFailsIsNotAnsweredAsSuccess) {
  Bench bench;
  bench.manager = std::make_shared<ClosedSourceManager>(bench.sessionLinks, bench.channels);
  TRTSPServlet_SETUP setup(bench.links);
  TRTSPServlet_PLAY play(bench.links);
  bench.Run(setup, Request("SETUP", "rtsp://h/live", 1, kTcp));
  const std::string name = bench.manager->Sessions().at(0)->SessionName();
  const Answer answer =
      bench.Run(play, Request("PLAY", "rtsp://h/live", 2, "Session: " + name + "\r\n"));
  EXPECT_EQ(answer.statusLine, "RTSP/1.0 500 Internal Server Error");
  EXPECT_EQ(answer.Names(), (std::vector<std::string>{"CSeq", "Date"}));
  EXPECT_FALSE(bench.manager->Sessions().at(0)->Playing());
  EXPECT_TRUE(bench.servletLog.Has("start streaming failed, session=" + name));
}

TEST_F(RtspServletSession, TeardownStopsAndRemovesTheSessionOnce) {
  const std::string name = Setup(kTcp);
  ASSERT_EQ(Play(name).statusLine, "RTSP/1.0 200 OK");
  const auto session = bench_.manager->FindSessionByName(name);

  const Answer answer = Teardown(name + ";timeout=60");
  EXPECT_EQ(answer.statusLine, "RTSP/1.0 200 OK");
  EXPECT_EQ(answer.Names(), (std::vector<std::string>{"CSeq", "Date"}));
  EXPECT_FALSE(session->Playing());
  EXPECT_FALSE(bench_.manager->HasSessions());
  EXPECT_EQ(bench_.manager->FindSessionByConnection(&bench_.connection), nullptr);
  EXPECT_EQ(bench_.Channel().SessionCount(), 0u);
  const std::vector<std::string> log = bench_.servletLog.Lines();
  EXPECT_EQ(std::vector<std::string>(log.end() - 2, log.end()),
            (std::vector<std::string>{"do teardown, session=" + name,
                                      "do teardown end, session=" + name}));

  EXPECT_EQ(Teardown(name).statusLine, "RTSP/1.0 454 Session Not Found") << "already gone";
  EXPECT_EQ(Play(name).statusLine, "RTSP/1.0 454 Session Not Found");
}

TEST_F(RtspServletSession, TeardownFromAnotherAddressLeavesTheSessionAlone) {
  const std::string name = Setup(kUdp);
  const Answer answer = Teardown(name, {"10.0.0.99", 49152, nullptr, false});
  EXPECT_EQ(answer.statusLine, "RTSP/1.0 454 Session Not Found");
  EXPECT_NE(bench_.manager->FindSessionByName(name), nullptr);
  // A UDP session outlives its RTSP connection: a new connection of the same client ends it.
  bench_.manager->ConnectionClosed(bench_.connection.Id());
  EXPECT_EQ(Teardown(name, {"192.168.1.20", 50123, nullptr, false}).statusLine, "RTSP/1.0 200 OK");
}

// A UDP session expires after 12 s without a sign of life; clients told so keep it alive with
// any request naming it.
TEST_F(RtspServletSession, RequestsNamingAUdpSessionKeepItAlive) {
  struct Case {
    const char* what;
    std::function<Answer(RtspServletSession&, const std::string&)> request;
  };
  const Case cases[] = {
      {"OPTIONS",
       [](RtspServletSession& t, const std::string& h) {
         return t.bench_.Run(t.options_,
                             Request("OPTIONS", "rtsp://h/live", 8, "Session: " + h + "\r\n"));
       }},
      {"DESCRIBE",
       [](RtspServletSession& t, const std::string& h) {
         return t.bench_.Run(t.describe_,
                             Request("DESCRIBE", "rtsp://h/live", 8, "Session: " + h + "\r\n"));
       }},
      {"PLAY", [](RtspServletSession& t, const std::string& h) { return t.Play(h); }},
      {"SETUP",
       [](RtspServletSession& t, const std::string& h) {
         return t.bench_.Run(t.setup_,
                             Request("SETUP", "rtsp://h/live", 8,
                                     "Session: " + h + "\r\n" +
                                         "Transport: RTP/AVP;unicast;client_port=7000-7001\r\n"));
       }},
  };
  int32_t port = 5000;
  for (const Case& c : cases) {
    const std::string transport =
        "Transport: RTP/AVP;unicast;client_port=" + std::to_string(port += 2) + "\r\n";
    const std::string name = Setup(transport);
    const auto session = bench_.manager->FindSessionByName(name);
    ASSERT_NE(session, nullptr);
    ASSERT_TRUE(session->StartStreaming());

    bench_.clock.tick += 11000;
    EXPECT_EQ(c.request(*this, name + ";timeout=12").statusLine, "RTSP/1.0 200 OK") << c.what;
    bench_.clock.tick += 11000;
    EXPECT_FALSE(session->IsExpired()) << c.what << " counts as a sign of life";
    bench_.clock.tick += 1000;
    EXPECT_TRUE(session->IsExpired()) << c.what;
    bench_.manager->RemoveSession(session);
  }
}

TEST_F(RtspServletSession, RequestsFromOtherAddressesDoNotKeepASessionAlive) {
  const std::string name = Setup(kUdp);
  const auto session = bench_.manager->FindSessionByName(name);
  ASSERT_TRUE(session->StartStreaming());
  bench_.clock.tick += 11000;
  bench_.Run(options_, Request("OPTIONS", "rtsp://h/live", 8, "Session: " + name + "\r\n"),
             {"10.0.0.99", 49152, nullptr, false});
  bench_.clock.tick += 1000;
  EXPECT_TRUE(session->IsExpired());
}

}  // namespace
