// The real program against what attackers on loopback tried: taking, guessing or ending other
// clients' sessions, floods of set-ups, idle connections and log lines, a UDP viewer left
// unaware that its session is gone, and requests that break the protocol's rules.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "RtspTestClient.h"
#include "RunningVistrel.h"
#include "tests/support/RtcpPackets.h"
#include "tests/support/Subprocess.h"
#include "tests/support/XvfbDisplay.h"

namespace {

using namespace std::chrono_literals;
constexpr int kFps = 10;
const std::string kSettings =
    "[System]\nfps=" + std::to_string(kFps) + "\n\n[RTSP]\nPort={port}\nEnableUDP=1\n";
const std::string kInterleaved = "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n";

std::string UdpTransport(int port) {
  return "Transport: RTP/AVP;unicast;client_port=" + std::to_string(port) + "-" +
         std::to_string(port + 1) + "\r\n";
}

// A UDP viewer's RTP and RTCP sockets on 127.0.0.1.
struct UdpViewer {
  // Free for TCP too, and below the range outgoing connections take their ports from: a test
  // connects from this port as well.
  const int port = FreePortPair();
  const int rtp = Bind(port), rtcp = Bind(port + 1);
  ~UdpViewer() {
    ::close(rtp);
    ::close(rtcp);
  }
  static int Bind(int port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address{
        AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    return fd;
  }
  // The datagrams that came to the socket within ms milliseconds.
  static std::vector<std::vector<uint8_t>> Receive(int fd, int ms) {
    std::vector<std::vector<uint8_t>> all;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (pollfd p{fd, POLLIN, 0}; std::chrono::steady_clock::now() < deadline;) {
      uint8_t bytes[65536];
      if (::poll(&p, 1, 20) == 1)
        all.emplace_back(bytes, bytes + std::max(::recv(fd, bytes, sizeof bytes, 0), ssize_t{0}));
    }
    return all;
  }
  // Whether datagrams still come to the socket, once those queued before are read.
  static bool StillComing(int fd) {
    Receive(fd, 300);
    return !Receive(fd, 1000).empty();
  }
};

// Whether interleaved media still comes, once what was queued before is read.
bool StillPlaying(RtspTestClient& client) {
  client.Drain(300);
  return !client.Collect(1000).empty();
}

std::string NameOf(const RtspAnswer& answer) {
  return answer.Header("Session").substr(0, answer.Header("Session").find(';'));
}
std::string SessionLine(const std::string& name) {
  return "Session: " + name + "\r\n";
}

std::string Play(RtspTestClient& client, const std::string& url, const std::string& transport) {
  const RtspAnswer setup = client.Request("SETUP", url + "/track1", transport);
  EXPECT_EQ(setup.status, 200) << setup.head;
  EXPECT_EQ(client.Request("PLAY", url, SessionLine(NameOf(setup))).status, 200) << NameOf(setup);
  return NameOf(setup);
}

long StatusField(pid_t pid, const std::string& field) {
  return std::atol(
      RunCommand("awk '/^" + field + ":/{print $2}' /proc/" + std::to_string(pid) + "/status")
          .c_str());
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class SessionSafety : public ::testing::Test {
 protected:
  XvfbDisplay display_{XvfbDisplay::Screen{320, 240, 24}};
  RunningVistrel vistrel_{display_.Name(), kSettings};
  const std::string url_ = vistrel_.Url();
};

TEST_F(SessionSafety, SessionsBelongToTheConnectionThatMadeThem) {
  UdpViewer udp;
  RtspTestClient udpClient(vistrel_.Port());
  const RtspAnswer udpSetup = udpClient.Request("SETUP", url_ + "/track1", UdpTransport(udp.port));
  EXPECT_TRUE(
      std::regex_match(udpSetup.Header("Session"), std::regex("[0-9a-fA-F]{32};timeout=12")))
      << udpSetup.head;
  const std::string udpName = NameOf(udpSetup);
  ASSERT_EQ(udpClient.Request("PLAY", url_, SessionLine(udpName)).status, 200);
  // A connection from the UDP viewer's RTP port is a client of its own.
  RtspTestClient samePort(vistrel_.Port(), udp.port);
  EXPECT_NE(Play(samePort, url_, kInterleaved), udpName);
  EXPECT_FALSE(samePort.Collect(1000).empty()) << "no interleaved RTP from the same port";
  RtspTestClient interleaved(vistrel_.Port());
  const std::string interleavedName = Play(interleaved, url_, kInterleaved);
  // One leaving abruptly ends its own session, no other.
  samePort.Close(true);
  EXPECT_TRUE(vistrel_.WaitForLog({"disconnect from 127.0.0.1:" + std::to_string(udp.port)}, 5s));
  EXPECT_TRUE(StillPlaying(interleaved)) << "the interleaved client stopped";
  EXPECT_TRUE(UdpViewer::StillComing(udp.rtp)) << "the UDP client stopped";
  EXPECT_EQ(udpClient.Request("GET_PARAMETER", url_, SessionLine(udpName)).status, 200);

  // Names are neither guessed nor borrowed: another connection naming them finds nothing.
  std::mt19937 random(std::random_device{}());
  std::string guessed;
  while (guessed.size() < 32) guessed += "0123456789abcdef"[random() % 16];
  RtspTestClient stranger(vistrel_.Port());
  for (const std::string& name : {guessed, interleavedName, udpName})
    for (const char* method : {"PLAY", "TEARDOWN", "GET_PARAMETER"})
      EXPECT_EQ(stranger.Request(method, url_, SessionLine(name)).status, 454) << method << name;
  EXPECT_TRUE(StillPlaying(interleaved)) << "the owner of the stolen name stopped";
  // A player that comes back on a new connection from the same address takes its session over.
  udpClient.Close();
  const std::string disconnect = "disconnect from 127.0.0.1:";
  ASSERT_TRUE(vistrel_.WaitForLog({disconnect + std::to_string(udp.port), disconnect}, 5s));
  EXPECT_EQ(stranger.Request("PLAY", url_, SessionLine(udpName)).status, 200);
  EXPECT_EQ(stranger.Request("TEARDOWN", url_, SessionLine(udpName)).status, 200);
  for (const char* method : {"PLAY", "TEARDOWN", "GET_PARAMETER", "SET_PARAMETER", "OPTIONS"})
    EXPECT_EQ(stranger.Request(method, url_, SessionLine(udpName)).status, 454) << method;

  // Requests that break the rules, each on a connection of its own.
  const std::string head = " RTSP/1.0\r\nCSeq: 1\r\n";
  const std::vector<std::pair<std::string, int>> rows = {
      {"SETUP " + url_ + "/track1" + head + SessionLine(guessed) + kInterleaved + "\r\n", 454},
      {"SETUP " + url_ + "/track2" + head + kInterleaved + "\r\n", 404},  // no audio described
      {"OPTIONS " + url_ + "/" + std::string(16400, 'a') + head + "\r\n", 414},
      {"SET_PARAMETER " + url_ + head + "Content-Length: 2\r\nContent-Length: 0\r\n\r\nab", 400},
      {"OPTIONS " + url_ + head + "User-Agent: a\x1b[2J\x07\r\n\r\n", 400},
  };
  for (const auto& [request, status] : rows) {
    RtspTestClient client(vistrel_.Port());
    EXPECT_EQ(client.Send(request).status, status) << request.substr(0, 200);
    // After a line too long to read the rest of the input cannot be told from the next request.
    EXPECT_TRUE(status != 414 || client.WaitClosed(2000)) << "left open after 414";
  }
}

TEST_F(SessionSafety, FloodsOfSetUpsAndIdleConnectionsLeaveRoomForViewers) {
  const pid_t pid = vistrel_.Process().Pid();
  const auto first = std::chrono::steady_clock::now();
  ASSERT_EQ(DecodeFrames(url_, "tcp", 10, 30).frames, 10);
  const double alone = SecondsSince(first);  // what a viewer needs to start without any load
  const long threads = StatusField(pid, "Threads"), rss = StatusField(pid, "VmRSS");
  RtspTestClient flood(vistrel_.Port());
  std::map<int, int> answers;
  // Each session it gets is played, to ports where nobody listens.
  for (int i = 0; i < 2000; ++i) {
    const RtspAnswer setup = flood.Request("SETUP", url_ + "/track1", UdpTransport(40000 + 2 * i));
    ++answers[setup.status];
    if (setup.status == 200) flood.Request("PLAY", url_, SessionLine(NameOf(setup)));
  }
  EXPECT_EQ(answers, (std::map<int, int>{{200, 4}, {453, 1996}}));
  // ffmpeg needs up to a second or two to start; the frames then come at the full rate.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(DecodeFrames(url_, "tcp", 5 * kFps, 30).frames, 5 * kFps);
  const double seconds = SecondsSince(start);
  const long threadsNow = StatusField(pid, "Threads"), grown = StatusField(pid, "VmRSS") - rss;
  std::printf("set-up flood: threads %ld -> %ld, RSS %+ld kB, %d frames in %.2f s\n", threads,
              threadsNow, grown, 5 * kFps, seconds);
  EXPECT_LT(seconds, 5 / 0.9 + 2.5);
  EXPECT_LT(threadsNow, threads + 20);
  EXPECT_LT(grown, 20 * 1024) << "kB";
  flood.Close();

  std::deque<RtspTestClient> idle;
  for (int i = 0; i < 256; ++i)
    EXPECT_EQ(idle.emplace_back(vistrel_.Port()).Request("OPTIONS", url_).status, 200) << i;
  const auto joined = std::chrono::steady_clock::now();
  EXPECT_EQ(DecodeFrames(url_, "tcp", 10, 15).frames, 10);
  std::printf("idle connections: a newcomer decoded 10 frames in %.2f s, alone in %.2f s\n",
              SecondsSince(joined), alone);
  EXPECT_LT(SecondsSince(joined), alone + 2.0);
  EXPECT_TRUE(idle.front().WaitClosed(1000)) << "the oldest idle connection made room";
}

TEST_F(SessionSafety, UdpViewerIsToldItsSessionExpiredWhileTheProgramStood) {
  UdpViewer udp;
  RtspTestClient client(vistrel_.Port());
  const std::string name = Play(client, url_, UdpTransport(udp.port));
  ASSERT_FALSE(UdpViewer::Receive(udp.rtp, 2000).empty());
  vistrel_.Process().Signal(SIGSTOP);
  std::this_thread::sleep_for(20s);
  vistrel_.Process().Signal(SIGCONT);
  bool bye = false;  // within 3 s of the program going on
  for (const auto& datagram : UdpViewer::Receive(udp.rtcp, 3000))
    for (const RtcpPacket& packet : ParseRtcp(datagram)) bye = bye || packet.type == 203;
  // Told by a goodbye, or at the latest by the answer to its keep-alive; never kept on as if
  // nothing had happened.
  EXPECT_EQ(client.Request("GET_PARAMETER", url_, SessionLine(name)).status, 454)
      << (bye ? "after a goodbye" : "without a goodbye");
  std::printf("expired UDP session: %s\n", bye ? "goodbye on the RTCP port" : "no goodbye");
  EXPECT_FALSE(UdpViewer::StillComing(udp.rtp)) << "RTP still goes to it";
  EXPECT_EQ(DecodeFrames(url_, "udp", 10, 20).frames, 10) << "a fresh viewer";
}

TEST_F(SessionSafety, LogKeepsWhatCameBeforeAFloodAndEscapesControlBytes) {
  const std::string head = " RTSP/1.0\r\nCSeq: 1\r\n";
  for (const std::string& rude :
       {"SETUP " + url_ + "/track1\x1b[2J\x07" + head + kInterleaved + "\r\n",
        "DESC\x1b[2J\x07RIBE " + url_ + head + "\r\n"}) {
    RtspTestClient client(vistrel_.Port());
    client.Send(rude);  // answered, whatever the answer
  }
  // Shown, but written out: a terminal reading the log must not act on them.
  EXPECT_TRUE(vistrel_.WaitForLog({"\\x1b[2J\\x07"}, 2s)) << vistrel_.LogText();
  EXPECT_EQ(vistrel_.LogText().find_first_of("\x1b\x07"), std::string::npos) << vistrel_.LogText();
  const std::string longUri = url_ + "/track1?" + std::string(16000, 'x');
  for (int i = 0; i < 140; ++i)
    RtspTestClient(vistrel_.Port()).Request("SETUP", longUri, kInterleaved);
  // The count of the lines left out is written with the first line after their second is over.
  std::this_thread::sleep_for(1100ms);
  EXPECT_EQ(RtspTestClient(vistrel_.Port()).Request("OPTIONS", url_).status, 200);
  // The log and its backups.
  const std::string all =
      RunCommand("cat '" + (vistrel_.Folder() / vistrel_.ProgramName()).string() + "'.*");
  EXPECT_NE(all.find("listen " + std::to_string(vistrel_.Port())), std::string::npos);
  EXPECT_TRUE(std::regex_search(all, std::regex(R"(127\.0\.0\.1: \d+ more lines left out)")));
  EXPECT_LE(all.size(), 5u << 20);
  EXPECT_EQ(all.find_first_of("\x1b\x07"), std::string::npos);
}

}  // namespace
