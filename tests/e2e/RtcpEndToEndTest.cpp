// The real program's interleaved H.264 stream at 8 fps as a player sees it for 6.5 s: sender
// reports beside the RTP and what they say about time, access units, key frames, the parameter
// sets of the first description, the goodbye and the session's end within TEARDOWN; tshark reads
// the reports off the wire too.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "RtspTestClient.h"
#include "RunningVistrel.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/RtcpPackets.h"
#include "tests/support/Subprocess.h"
#include "tests/support/WaitUntil.h"
#include "tests/support/XvfbDisplay.h"

namespace {

using namespace std::chrono_literals;

TEST(RtcpEndToEnd, InterleavedStreamCarriesSenderReportsThatMatchItsVideo) {
  if (!std::filesystem::exists("/usr/bin/dumpcap")) GTEST_SKIP() << "tshark is not installed";
  XvfbDisplay display(XvfbDisplay::Screen{320, 240, 24});
  RunningVistrel vistrel(display.Name(), "[System]\nfps=8\n\n[RTSP]\nPort={port}\n");
  const std::string pcap = (vistrel.Folder() / "rtsp.pcap").string();
  const std::string capturing = (vistrel.Folder() / "dumpcap.txt").string();
  ChildProcess capture({"/usr/bin/dumpcap", "-i", "lo", "-f",
                        "tcp port " + std::to_string(vistrel.Port()), "-w", pcap},
                       {}, capturing);
  ASSERT_TRUE(
      WaitUntil([&] { return RunCommand("cat " + capturing).find("Capturing") == 0; }, 10s));

  RtspTestClient client(vistrel.Port());
  // A fresh program's first description already carries the parameter sets strict clients need.
  const RtspAnswer describe = client.Request("DESCRIBE", vistrel.Url());
  ASSERT_EQ(describe.status, 200);
  EXPECT_NE(describe.body.find("sprop-parameter-sets="), std::string::npos) << describe.body;
  const RtspAnswer setup = client.Request("SETUP", vistrel.Url() + "/track1",
                                          "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n");
  const std::string session =
      "Session: " + setup.Header("Session").substr(0, setup.Header("Session").find(';')) + "\r\n";
  ASSERT_EQ(client.Request("PLAY", vistrel.Url(), session).status, 200);
  const std::vector<RtspTestClient::Unit> units = client.Collect(6500);
  ASSERT_EQ(client.Request("TEARDOWN", vistrel.Url(), session).status, 200);
  client.Close();
  EXPECT_TRUE(vistrel.WaitForLog({"do teardown, session=", "TLiveSession destroy-->",
                                  "free session ", "do teardown end, session="},
                                 2s))
      << vistrel.LogText();

  std::vector<uint32_t> times, keyFrames;  // of the frames; of those with an IDR slice
  std::vector<std::pair<RtcpPacket, int64_t>> reports;
  std::string sps;
  for (size_t i = 0; i < units.size(); ++i) {
    const std::vector<uint8_t>& p = units[i].packet;
    if (units[i].channel == 1) {
      const std::vector<RtcpPacket> compound = ParseRtcp(p);
      ASSERT_EQ(compound.size(), 2u);
      ASSERT_EQ(times.size() == 1, reports.empty()) << "the first report follows the first frame";
      EXPECT_LT(compound[0].rtpTime - times.back(), 2 * 11250u) << "within 2 frames of the last";
      EXPECT_EQ(compound[1].cname.rfind("vistrel@", 0), 0u);
      reports.emplace_back(compound[0], units[i].arrivedMicros);
      continue;
    }
    const int type = (p[12] & 0x1F) == 28 ? p[13] & 0x1F : p[12] & 0x1F;
    if (i + 1 < units.size()) {  // the last one read may be cut off from the rest of its frame
      const bool auEnds = units[i + 1].channel != 0 || Be32(units[i + 1].packet, 4) != Be32(p, 4);
      EXPECT_EQ((p[1] & 0x80) != 0, auEnds) << "the marker ends access units only; NAL " << type;
    }
    if (times.empty() || times.back() != Be32(p, 4)) times.push_back(Be32(p, 4));
    if (type == 5 && (keyFrames.empty() || keyFrames.back() != times.back())) {
      keyFrames.push_back(times.back());
    }
    if (type == 7 && sps.empty()) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "%02X%02X%02X", p[13], p[14], p[15]);
      sps = hex;
    }
  }
  ASSERT_EQ(reports.size(), 2u) << "one after the first frame, one 5 s later";
  EXPECT_NEAR(static_cast<double>(reports[1].second - reports[0].second) / 1e6, 5.0, 0.4);
  for (const auto& [report, arrived] : reports) {
    const double ntp = static_cast<double>(report.ntp) / 0x1p32 - 2'208'988'800.0;
    EXPECT_NEAR(ntp, static_cast<double>(arrived) / 1e6, 2.0) << "NTP time from the wall clock";
  }
  // The stream's time runs with the wall clock.
  EXPECT_NEAR((reports[1].first.rtpTime - reports[0].first.rtpTime) / 90000.0,
              static_cast<double>(reports[1].first.ntp - reports[0].first.ntp) / 0x1p32, 0.2);
  ASSERT_GE(keyFrames.size(), 3u);
  for (size_t i = 1; i < keyFrames.size(); ++i) EXPECT_LE(keyFrames[i] - keyFrames[i - 1], 180000u);
  EXPECT_NE(describe.body.find("profile-level-id=" + sps), std::string::npos) << sps;

  // The capture hands packets on in blocks at most a quarter second old; the goodbye was last.
  std::this_thread::sleep_for(1s);
  capture.Signal(SIGINT);
  ASSERT_TRUE(capture.WaitFor(10s)) << "the capture did not end";
  char ssrc[16];
  std::snprintf(ssrc, sizeof ssrc, "\t0x%08x", reports[0].first.ssrc);
  EXPECT_EQ(RunCommand("tshark -r " + pcap + " -d tcp.port==" + std::to_string(vistrel.Port()) +
                       ",rtsp -Y 'rtcp || _ws.malformed' -T fields -e rtcp.pt -e rtcp.senderssrc"
                       " -E occurrence=a -E aggregator=, 2>/dev/null"),
            "200,202" + std::string(ssrc) + "\n200,202" + ssrc + "\n200,202,203" + ssrc + "\n");
}

}  // namespace
