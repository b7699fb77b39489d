#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ServletTestSupport.h"

namespace {

using namespace servlet_test;

const std::vector<std::string> kSetupHeaders = {"CSeq", "Session", "Transport", "Date"};
const std::vector<std::string> kRefusalHeaders = {"CSeq", "Date"};

TEST(RtspServletSetup, InterleavedAlwaysOnFixedChannelsBoundToTheConnection) {
  struct Case {
    const char* uri;
    const char* transport;
    bool udpEnabled;
    const char* answer;
  };
  const Case cases[] = {
      {"rtsp://192.168.1.10:6554/live/track1", "RTP/AVP/TCP;unicast;interleaved=0-1", false,
       "RTP/AVP/TCP;unicast;destination=192.168.1.20;source=192.168.1.10;interleaved=0-1"},
      {"rtsp://192.168.1.10:6554/live", "RTP/AVP/TCP;unicast;interleaved=4-5", false,
       "RTP/AVP/TCP;unicast;destination=192.168.1.20;source=192.168.1.10;interleaved=0-1"},
      {"rtsp://192.168.1.10:6554/live/TRACK2", "RTP/AVP/TCP;unicast;interleaved=0-1", false,
       "RTP/AVP/TCP;unicast;destination=192.168.1.20;source=192.168.1.10;interleaved=2-3"},
      {"rtsp://h/live/", " RTP/AVP/TCP;unicast;interleaved=2-3", false,
       "RTP/AVP/TCP;unicast;destination=192.168.1.20;source=192.168.1.10;interleaved=0-1"},
      // Offered alongside UDP, interleaved wins.
      {"rtsp://h/live/track1",
       "RTP/AVP;unicast;client_port=5000-5001,RTP/AVP/TCP;unicast;interleaved=0-1", true,
       "RTP/AVP/TCP;unicast;destination=192.168.1.20;source=192.168.1.10;interleaved=0-1"},
  };
  for (const Case& c : cases) {
    Bench bench;
    bench.links.udpEnabled = c.udpEnabled;
    bench.links.audioEnabled = true;
    FeedAudioFrame(bench.Channel(), 130);
    TRTSPServlet_SETUP setup(bench.links);
    const Answer answer = bench.Run(
        setup, Request("SETUP", c.uri, 3, "Transport: " + std::string(c.transport) + "\r\n"));
    ASSERT_EQ(answer.statusLine, "RTSP/1.0 200 OK") << c.transport;
    EXPECT_EQ(answer.Names(), kSetupHeaders);
    EXPECT_EQ(answer.Header("Transport"), c.answer) << c.uri << " " << c.transport;

    const auto session = bench.manager->FindSessionByConnection(&bench.connection);
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(answer.Header("Session"), session->SessionName()) << "no time-out when interleaved";
    EXPECT_EQ(bench.manager->FindSessionByConnection(&bench.connection), session);
    EXPECT_EQ(session->StreamUri(), c.uri);
    EXPECT_EQ(bench.Channel().SessionCount(), 1u);
    EXPECT_EQ(bench.servletLog.Lines(),
              (std::vector<std::string>{std::string("uri=") + c.uri, "rtpavp=RTP/AVP/TCP",
                                        "session=" + session->SessionName()}));
  }
}

TEST(RtspServletSetup, UdpAnswersTheServerPortsAndTheRealTimeOut) {
  struct Case {
    const char* transport;
    const char* answer;
    int32_t clientPort;
    const char* element;
  };
  const Case cases[] = {
      {"RTP/AVP;unicast;client_port=5000-5001",
       "RTP/AVP;unicast;client_port=5000-5001;destination=192.168.1.20;source=192.168.1.10;"
       "server_port=6554-6555",
       5000, "client_port=5000-5001"},
      {"RTP/AVP/UDP;unicast;client_port=6970-6971;destination=10.9.9.9",
       "RTP/AVP/UDP;unicast;client_port=6970-6971;destination=192.168.1.20;"
       "source=192.168.1.10;server_port=6554-6555",
       6970, "client_port=6970-6971"},
      {"  RTP/AVP;unicast;client_port=5002\t",
       "RTP/AVP;unicast;client_port=5002;destination=192.168.1.20;source=192.168.1.10;"
       "server_port=6554-6555",
       5002, "client_port=5002"},
      // The first acceptable alternative is taken.
      {"RTP/SAVP;unicast;client_port=7000-7001,RTP/AVP;unicast;client_port=bad,"
       "RTP/AVP/UDP;unicast;client_port=5004-5005,RTP/AVP;unicast;client_port=5006-5007",
       "RTP/AVP/UDP;unicast;client_port=5004-5005;destination=192.168.1.20;"
       "source=192.168.1.10;server_port=6554-6555",
       5004, "client_port=5004-5005"},
  };
  for (const Case& c : cases) {
    Bench bench;
    bench.links.udpEnabled = true;
    TRTSPServlet_SETUP setup(bench.links);
    const Answer answer =
        bench.Run(setup, Request("SETUP", "rtsp://192.168.1.10:6554/live/track1", 3,
                                 "Transport: " + std::string(c.transport) + "\r\n"));
    ASSERT_EQ(answer.statusLine, "RTSP/1.0 200 OK") << c.transport;
    EXPECT_EQ(answer.Names(), kSetupHeaders);
    EXPECT_EQ(answer.Header("Transport"), c.answer);

    const auto session = bench.manager->FindSession("192.168.1.20", c.clientPort);
    ASSERT_NE(session, nullptr) << "the session is keyed by the client's RTP port now";
    EXPECT_EQ(answer.Header("Session"), session->SessionName() + ";timeout=12");
    EXPECT_EQ(session->Connection(), nullptr) << "no interleaved binding";
    EXPECT_EQ(session->VideoSender().DestAddress(), "192.168.1.20");
    EXPECT_EQ(session->VideoSender().DestPort(), c.clientPort);
    const std::vector<std::string> log = bench.servletLog.Lines();
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[3], std::string("client port = ") + c.element);
    EXPECT_EQ(log[4], "session port = " + std::to_string(c.clientPort));
  }
}

TEST(RtspServletSetup, RefusesTransportsItCannotServeWith461) {
  struct Case {
    const char* what;
    const char* headers;
    bool udpEnabled;
    bool noConnection;
  };
  const Case cases[] = {
      {"UDP while EnableUDP is off", "Transport: RTP/AVP;unicast;client_port=5000-5001\r\n", false,
       false},
      {"UDP token while EnableUDP is off",
       "Transport: RTP/AVP/UDP;unicast;client_port=5000-5001\r\n", false, false},
      {"no Transport header", "", true, false},
      {"empty Transport", "Transport:\r\n", true, false},
      {"lower-case profile", "Transport: rtp/avp/tcp;unicast;interleaved=0-1\r\n", true, false},
      {"another profile", "Transport: RTP/AVPF;unicast;client_port=5000-5001\r\n", true, false},
      {"secure profile", "Transport: RTP/SAVP;unicast;client_port=5000-5001\r\n", true, false},
      {"UDP without client_port", "Transport: RTP/AVP;unicast\r\n", true, false},
      {"UDP with a port that is no number", "Transport: RTP/AVP;unicast;client_port=abc\r\n", true,
       false},
      {"UDP with port 0", "Transport: RTP/AVP;unicast;client_port=0-1\r\n", true, false},
      {"UDP with a port past 65535", "Transport: RTP/AVP;unicast;client_port=70000-70001\r\n", true,
       false},
      {"UDP with a negative port", "Transport: RTP/AVP;unicast;client_port=-5000\r\n", true, false},
      {"UDP with a port past 32 bits",
       "Transport: RTP/AVP;unicast;client_port=99999999999999999999\r\n", true, false},
      {"interleaved on a connection that carries no RTP",
       "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n", true, true},
      {"separators only", "Transport: ;;;,,,;=-\r\n", true, false},
  };
  for (const Case& c : cases) {
    Bench bench;
    bench.links.udpEnabled = c.udpEnabled;
    TRTSPServlet_SETUP setup(bench.links);
    Client client;
    client.noConnection = c.noConnection;
    const Answer answer =
        bench.Run(setup, Request("SETUP", "rtsp://h/live/track1", 5, c.headers), client);
    EXPECT_EQ(answer.statusLine, "RTSP/1.0 461 Unsupported transport") << c.what;
    EXPECT_EQ(answer.Names(), kRefusalHeaders) << c.what;
    EXPECT_FALSE(bench.manager->HasSessions()) << c.what;
  }
}

TEST(RtspServletSetup, WithoutASessionManagerAnswers453) {
  Bench bench;
  bench.links.sessions = [] { return std::shared_ptr<TLiveSessionManager>(); };
  TRTSPServlet_SETUP setup(bench.links);
  const Answer answer = bench.Run(
      setup, Request("SETUP", "rtsp://h/live", 2, "Transport: RTP/AVP/TCP;interleaved=0-1\r\n"));
  EXPECT_EQ(answer.statusLine, "RTSP/1.0 453 Not Enough Bandwidth");
  EXPECT_TRUE(bench.servletLog.Has("create session failed!"));
}

TEST(RtspServletSetup, UnknownTracksAndSessionsAreRefused) {
  struct Case {
    const char* uri;
    bool audio;  // an audio track described
    const char* session;
    const char* status;
  };
  const Case cases[] = {
      {"rtsp://h/live/track2", false, "", "RTSP/1.0 404 Not Found"},
      {"rtsp://h/live/track3", true, "", "RTSP/1.0 404 Not Found"},
      {"rtsp://h/live/trackID=2", true, "", "RTSP/1.0 404 Not Found"},
      {"rtsp://h/live/track1", true, "0123456789ABCDEF0123456789ABCDEF",
       "RTSP/1.0 454 Session Not Found"},
  };
  for (const Case& c : cases) {
    Bench bench;
    bench.links.audioEnabled = true;
    if (c.audio) FeedAudioFrame(bench.Channel(), 129);
    TRTSPServlet_SETUP setup(bench.links);
    const std::string session = *c.session ? std::string("Session: ") + c.session + "\r\n" : "";
    const Answer answer = bench.Run(
        setup, Request("SETUP", c.uri, 1, session + "Transport: RTP/AVP/TCP;interleaved=0-1\r\n"));
    EXPECT_EQ(answer.statusLine, c.status) << c.uri;
    EXPECT_FALSE(bench.manager->HasSessions()) << c.uri;
  }
}

}  // namespace

namespace {

TEST(RtspServletSetup, ASessionIsTakenUpOnlyByItsOwnConnectionOrByName) {
  Bench bench;
  bench.links.udpEnabled = true;
  bench.links.audioEnabled = true;
  FeedAudioFrame(bench.Channel(), 129);
  TRTSPServlet_SETUP setup(bench.links);
  // A UDP viewer: its session is known by its RTP port 50000 from then on.
  const Answer udp = bench.Run(setup,
                               Request("SETUP", "rtsp://h/live", 1,
                                       "Transport: RTP/AVP;unicast;client_port=50000-50001\r\n"),
                               Client{"192.168.1.20", 41000, nullptr, true});
  ASSERT_EQ(udp.statusLine, "RTSP/1.0 200 OK");
  const auto viewer = bench.manager->FindSession("192.168.1.20", 50000);
  ASSERT_NE(viewer, nullptr);

  // Another player on the same host whose RTSP connection happens to come from port 50000.
  FakeRtpConnection otherConnection;
  const Answer stranger = bench.Run(
      setup, Request("SETUP", "rtsp://h/live", 1, "Transport: RTP/AVP/TCP;interleaved=0-1\r\n"),
      Client{"192.168.1.20", 50000, &otherConnection, false});
  ASSERT_EQ(stranger.statusLine, "RTSP/1.0 200 OK");
  EXPECT_NE(stranger.Header("Session"),
            udp.Header("Session").substr(0, udp.Header("Session").find(';')));
  EXPECT_EQ(viewer->Connection(), nullptr) << "the viewer's session was not bound to the stranger";
  EXPECT_EQ(viewer->ClientPort(), 50000);
  EXPECT_EQ(bench.manager->Sessions().size(), 2u);

  // The stranger's second track on its own connection stays in its own session.
  const Answer secondTrack = bench.Run(
      setup,
      Request("SETUP", "rtsp://h/live/track2", 2,
              "Session: " + stranger.Header("Session") +
                  "\r\nTransport: RTP/AVP/TCP;interleaved=2-3\r\n"),
      Client{"192.168.1.20", 50000, &otherConnection, false});
  EXPECT_EQ(secondTrack.Header("Session"), stranger.Header("Session"));
  // The viewer names its session to set up another track on it.
  const std::string viewerName = viewer->SessionName();
  const Answer named =
      bench.Run(setup,
                Request("SETUP", "rtsp://h/live", 3,
                        "Session: " + viewerName +
                            "\r\nTransport: RTP/AVP;unicast;client_port=50002-50003\r\n"),
                Client{"192.168.1.20", 41000, nullptr, true});
  EXPECT_EQ(named.Header("Session").substr(0, viewerName.size()), viewerName);
  EXPECT_EQ(bench.manager->Sessions().size(), 2u);
}

}  // namespace
