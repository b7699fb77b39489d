// The real program's interleaved H.264 stream as a player sees it over several seconds: the RTCP
// sender reports beside the RTP, what they say about time, the goodbye after TEARDOWN, and what
// the RTP packets say about access units, key frames and the parameter sets. The reports are
// also read by a real dissector from a capture of the connection.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "RtspTestClient.h"
#include "RunningVistrel.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TestScreen.h"
#include "tests/support/XvfbDisplay.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kStep = 90000 / 8;
constexpr int64_t kNtpOffsetSeconds = 2'208'988'800;

uint32_t Word(const Bytes& b, size_t at) {
  return uint32_t{b[at]} << 24 | uint32_t{b[at + 1]} << 16 | uint32_t{b[at + 2]} << 8 | b[at + 3];
}

struct Rtp {
  uint32_t timestamp;
  bool marker;
  int nalType;  // of the unit a single packet carries or a fragment belongs to
  bool unitStart;
  Bytes payload;
  int64_t arrivedMicros;
};

struct Report {
  std::vector<int> types;
  uint32_t ssrc, rtpTimestamp;
  int64_t ntpMicros, arrivedMicros;
};

Report ReadReport(const InterleavedUnit& unit) {
  Report report{{}, 0, 0, 0, unit.arrivedMicros};
  const Bytes& b = unit.packet;
  for (size_t at = 0; at + 8 <= b.size(); at += 4 * (size_t{b[at + 2]} << 8 | b[at + 3]) + 4) {
    report.types.push_back(b[at] >> 6 == 2 ? b[at + 1] : -1);
    if (b[at + 1] == 200 && at + 28 <= b.size()) {
      report.ssrc = Word(b, at + 4);
      const int64_t seconds = int64_t{Word(b, at + 8)} - kNtpOffsetSeconds;
      report.ntpMicros = seconds * 1'000'000 + ((int64_t{Word(b, at + 12)} * 1'000'000) >> 32);
      report.rtpTimestamp = Word(b, at + 16);
    }
  }
  return report;
}

// dumpcap (tshark's capture engine) capturing the RTSP connection to a file.
class Capture {
 public:
  Capture(int port, const std::filesystem::path& file) {
    process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/bin/dumpcap", "-i", "lo", "-f",
                                 "tcp port " + std::to_string(port), "-w", file.string()},
        std::vector<std::string>{}, (file.parent_path() / "dumpcap.txt").string());
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!started_ && std::chrono::steady_clock::now() < deadline) {
      std::ifstream log(file.parent_path() / "dumpcap.txt");
      std::stringstream text;
      text << log.rdbuf();
      started_ = text.str().find("Capturing on") != std::string::npos;
      std::this_thread::sleep_for(50ms);
    }
  }
  // Ends the capture; true once what it holds is written out.
  bool Stop() {
    process_->Signal(SIGINT);
    return process_->WaitFor(10s).has_value();
  }
  bool Started() const { return started_; }

 private:
  std::unique_ptr<ChildProcess> process_;
  bool started_ = false;
};

// A UDP socket of the test's client on 127.0.0.1, keeping what arrives with its source port.
class UdpClientSocket {
 public:
  explicit UdpClientSocket(int port) : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~UdpClientSocket() { ::close(fd_); }
  bool Bound() const { return bound_; }
  // Datagrams arriving within ms, each with the port it came from.
  std::vector<std::pair<int, Bytes>> Receive(int ms) {
    std::vector<std::pair<int, Bytes>> got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd readable{fd_, POLLIN, 0};
      if (::poll(&readable, 1, 20) <= 0) continue;
      Bytes buffer(65536);
      sockaddr_in source{};
      socklen_t length = sizeof source;
      const ssize_t n = ::recvfrom(fd_, buffer.data(), buffer.size(), 0,
                                   reinterpret_cast<sockaddr*>(&source), &length);
      if (n <= 0) continue;
      buffer.resize(static_cast<size_t>(n));
      got.emplace_back(ntohs(source.sin_port), std::move(buffer));
    }
    return got;
  }

 private:
  int fd_;
  bool bound_ = false;
};

TEST(RtcpEndToEnd, UdpReportsAndGoodbyeComeFromTheRtcpPortToTheClientsRtcpPort) {
  XvfbDisplay display(XvfbDisplay::Screen{320, 240, 24});
  RunningVistrel vistrel(display.Name(), "[System]\nfps=8\n\n[RTSP]\nPort={port}\nEnableUDP=1\n");
  const int clientPort = FreePortPair();
  UdpClientSocket rtpSocket(clientPort), rtcpSocket(clientPort + 1);
  ASSERT_TRUE(rtpSocket.Bound() && rtcpSocket.Bound());
  RtspTestClient client(vistrel.Port());
  ASSERT_EQ(client.Request("DESCRIBE", vistrel.Url()).status, 200);
  const RtspAnswer setup = client.Request(
      "SETUP", vistrel.Url() + "/track1",
      "Transport: RTP/AVP;unicast;client_port=" + std::to_string(clientPort) + "-" +
          std::to_string(clientPort + 1) + "\r\n");
  ASSERT_EQ(setup.status, 200) << setup.head;
  const std::string session = setup.Header("Session").substr(0, setup.Header("Session").find(';'));
  ASSERT_EQ(client.Request("PLAY", vistrel.Url(), "Session: " + session + "\r\n").status, 200);
  const auto reports = rtcpSocket.Receive(1500);
  const auto packets = rtpSocket.Receive(10);
  ASSERT_EQ(client.Request("TEARDOWN", vistrel.Url(), "Session: " + session + "\r\n").status, 200);
  const auto goodbye = rtcpSocket.Receive(300);

  ASSERT_FALSE(packets.empty());
  EXPECT_EQ(packets[0].first, vistrel.Port());
  ASSERT_EQ(reports.size(), 1u) << "the first report only, within 1.5 s";
  ASSERT_EQ(goodbye.size(), 1u);
  const Report first = ReadReport({1, reports[0].second, 0});
  const Report last = ReadReport({1, goodbye[0].second, 0});
  EXPECT_EQ(reports[0].first, vistrel.Port() + 1);
  EXPECT_EQ(goodbye[0].first, vistrel.Port() + 1);
  EXPECT_EQ(first.types, (std::vector<int>{200, 202}));
  EXPECT_EQ(last.types, (std::vector<int>{200, 202, 203}));
  EXPECT_EQ(first.ssrc, Word(packets[0].second, 8));
  EXPECT_EQ(last.ssrc, first.ssrc);
}

TEST(RtcpEndToEnd, InterleavedStreamCarriesSenderReportsThatMatchItsRtpTime) {
  if (!std::filesystem::exists("/usr/bin/tshark") || !std::filesystem::exists("/usr/bin/dumpcap")) {
    GTEST_SKIP() << "tshark is not installed";
  }
  XvfbDisplay display(XvfbDisplay::Screen{320, 240, 24});
  {
    TestScreen screen(display.Name());
    screen.Fill(0, 0, 160, 240, {0, 160, 0});
    screen.Sync();
  }
  RunningVistrel vistrel(display.Name(), "[System]\nfps=8\n\n[RTSP]\nPort={port}\n");
  const std::filesystem::path pcap = vistrel.Folder() / "stream.pcap";
  Capture capture(vistrel.Port(), pcap);
  ASSERT_TRUE(capture.Started()) << "dumpcap could not capture on lo";

  RtspTestClient client(vistrel.Port());
  const RtspAnswer describe = client.Request("DESCRIBE", vistrel.Url());
  ASSERT_EQ(describe.status, 200);
  const RtspAnswer setup = client.Request("SETUP", vistrel.Url() + "/track1",
                                          "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n");
  ASSERT_EQ(setup.status, 200) << setup.head;
  const std::string session = setup.Header("Session").substr(0, setup.Header("Session").find(';'));
  client.KeepUnits(true);
  ASSERT_EQ(client.Request("PLAY", vistrel.Url(), "Session: " + session + "\r\n").status, 200);
  client.Drain(6500);
  std::vector<InterleavedUnit> units = client.TakeUnits();
  // The parameter sets are known once the encoder has made a key frame, after the first DESCRIBE.
  const RtspAnswer described = client.Request("DESCRIBE", vistrel.Url());
  client.TakeUnits();
  ASSERT_EQ(client.Request("TEARDOWN", vistrel.Url(), "Session: " + session + "\r\n").status, 200);
  const std::vector<InterleavedUnit> afterTeardown = client.TakeUnits();
  client.Close();
  std::this_thread::sleep_for(300ms);
  ASSERT_TRUE(capture.Stop()) << "the capture did not end";

  std::vector<Rtp> rtp;
  std::vector<Report> reports;
  size_t firstReport = SIZE_MAX;
  for (const InterleavedUnit& unit : units) {
    if (unit.channel == 1) {
      if (firstReport == SIZE_MAX) firstReport = rtp.size();
      reports.push_back(ReadReport(unit));
    } else if (unit.channel == 0 && unit.packet.size() > 13) {
      const Bytes& p = unit.packet;
      const int type = p[12] & 0x1F;
      const bool fragment = type == 28;
      rtp.push_back({Word(p, 4), (p[1] & 0x80) != 0, fragment ? p[13] & 0x1F : type,
                     !fragment || (p[13] & 0x80) != 0, Bytes(p.begin() + 12, p.end()),
                     unit.arrivedMicros});
    }
  }
  ASSERT_GT(rtp.size(), 40u);
  ASSERT_EQ(reports.size(), 2u) << "one after the first packet, one 5 s later, in 6.5 s";

  // The first report comes with the first frame, before the next frame's packets.
  ASSERT_GE(firstReport, 1u);
  EXPECT_EQ(rtp[firstReport - 1].timestamp, rtp[0].timestamp);
  EXPECT_TRUE(firstReport == rtp.size() || rtp[firstReport].timestamp != rtp[0].timestamp);
  const double apart = static_cast<double>(reports[1].arrivedMicros - reports[0].arrivedMicros);
  EXPECT_NEAR(apart / 1e6, 5.0, 0.4);
  for (const Report& report : reports) {
    EXPECT_EQ(report.types, (std::vector<int>{200, 202}));
    EXPECT_NEAR(static_cast<double>(report.ntpMicros - report.arrivedMicros) / 1e6, 0.0, 2.0);
    // The RTP time at the report is that of the last frame sent before it, plus a little.
    uint32_t last = 0;
    for (const Rtp& packet : rtp) {
      if (packet.arrivedMicros <= report.arrivedMicros) last = packet.timestamp;
    }
    EXPECT_LT(report.rtpTimestamp - last, 3 * kStep) << "ahead of the last frame by too much";
  }
  // The stream's clock runs with the wall clock between the reports.
  const double rtpSeconds = (reports[1].rtpTimestamp - reports[0].rtpTimestamp) / 90000.0;
  const double ntpSeconds = static_cast<double>(reports[1].ntpMicros - reports[0].ntpMicros) / 1e6;
  EXPECT_NEAR(rtpSeconds, ntpSeconds, 0.25);

  // Markers end access units only; parameter sets and SEI never carry one.
  std::vector<uint32_t> keyFrames;
  std::string sps;
  for (size_t i = 0; i < rtp.size(); ++i) {
    const bool lastOfUnit = i + 1 == rtp.size() || rtp[i + 1].timestamp != rtp[i].timestamp;
    if (i + 1 < rtp.size()) {
      EXPECT_EQ(rtp[i].marker, lastOfUnit) << "packet " << i << ", NAL type " << rtp[i].nalType;
    }
    if (rtp[i].nalType >= 6 && rtp[i].nalType <= 8) {
      EXPECT_FALSE(rtp[i].marker) << "packet " << i << " of a parameter set or SEI";
    }
    if (rtp[i].nalType == 5 && rtp[i].unitStart &&
        (keyFrames.empty() || keyFrames.back() != rtp[i].timestamp)) {
      keyFrames.push_back(rtp[i].timestamp);
    }
    if (rtp[i].nalType == 7 && sps.empty() && rtp[i].payload.size() >= 4) {
      char hex[7];
      std::snprintf(hex, sizeof hex, "%02X%02X%02X", rtp[i].payload[1], rtp[i].payload[2],
                    rtp[i].payload[3]);
      sps = hex;
    }
  }
  ASSERT_GE(keyFrames.size(), 3u);
  for (size_t i = 1; i < keyFrames.size(); ++i) {
    EXPECT_LE(keyFrames[i] - keyFrames[i - 1], 2 * 90000u) << "key frame " << i;
  }
  const size_t level = described.body.find("profile-level-id=");
  ASSERT_NE(level, std::string::npos) << described.body;
  std::string announced = described.body.substr(level + 17, 6);
  std::transform(announced.begin(), announced.end(), announced.begin(), ::toupper);
  EXPECT_EQ(announced, sps);

  // TEARDOWN: a goodbye for the same source before the answer.
  ASSERT_EQ(afterTeardown.empty() ? 0 : afterTeardown.back().channel, 1);
  const Report goodbye = ReadReport(afterTeardown.back());
  EXPECT_EQ(goodbye.types, (std::vector<int>{200, 202, 203}));
  EXPECT_EQ(goodbye.ssrc, reports[0].ssrc);

  // The session's end is logged within TEARDOWN, before its last line.
  EXPECT_TRUE(vistrel.WaitForLog({"do teardown, session=" + session, "TLiveSession destroy-->",
                                  "free session " + session, "do teardown end, session=" + session},
                                 2s))
      << vistrel.LogText();

  // A real dissector reads the same reports, source and goodbye off the wire.
  int exitCode = -1;
  const std::string dissected = RunCommand(
      "timeout -s KILL 20 tshark -r '" + pcap.string() +
          "' -d tcp.port==" + std::to_string(vistrel.Port()) +
          ",rtsp -Y 'rtcp.pt == 200 || rtcp.pt == 203 || _ws.malformed' -T fields -e rtcp.pt"
          " -e rtcp.senderssrc -e _ws.malformed -E occurrence=a -E aggregator=,",
      &exitCode);
  EXPECT_EQ(exitCode, 0) << dissected;
  char ssrc[16];
  std::snprintf(ssrc, sizeof ssrc, "0x%08x", reports[0].ssrc);
  std::istringstream lines(dissected);
  std::string line;
  std::vector<std::string> seen;
  while (std::getline(lines, line)) seen.push_back(line);
  const std::string report = "200,202\t" + std::string(ssrc) + "\t";
  EXPECT_EQ(seen, (std::vector<std::string>{report, report, "200,202,203\t" + std::string(ssrc) +
                                                                "\t"}))
      << dissected;
}

}  // namespace
