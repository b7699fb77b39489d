// What a frame sender tells about time: the RTP time stamps of frames by their capture slot, and
// the RTCP sender reports and goodbye its send thread sends beside the packets.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "RtcpPackets.h"
#include "capture/FrameType.h"
#include "config/Settings.h"
#include "stream/FrameSender.h"
#include "stream/RtcpSenderReport.h"
#include "tests/support/ByeCollector.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FakeDatagramSender.h"
#include "tests/support/FakeRtpConnection.h"
#include "tests/support/WaitUntil.h"

namespace {

using Bytes = std::vector<uint8_t>;

// One RTP or RTCP packet as the client got it, in order.
struct Sent {
  bool rtcp;
  Bytes bytes;
};

class SenderReportTest : public ::testing::Test {
 protected:
  void MakeSender(bool interleaved, int32_t fps = 25) {
    sender.reset();
    TFrameSenderLinks links;
    links.datagramSender = &udp;
    links.byeActionPoster = &byes;
    links.log = [](std::string_view) {};
    links.clock = &clock;
    sender = std::make_unique<TFrameSender>(fps, links);
    sender->SetDestination("127.0.0.1", 5004);
    if (interleaved) sender->SetConnection(&connection);
  }
  // A one-packet H.264 frame captured at the given time on the fake clock (0: no capture time).
  TFramePackage* Frame(int64_t capturedMicros, bool key = true) {
    const Bytes bytes{0, 0, 0, 1, 0x65, 0x88, 0x84, 0x21, 0x44};
    TFramePackage* package = TFramePackage::Create(bytes);
    package->Track = 1;
    package->Codec = kEncodeTypeH264;
    package->FrameType = key ? kKeyVideoFrameType : kOtherVideoFrameType;
    package->CapturedMicros = capturedMicros;
    return package;
  }
  std::vector<Sent> Received() {
    std::vector<Sent> sent;
    {
      const std::lock_guard lock(connection.mutex);
      for (const Bytes& unit : InterleavedUnits(connection.written)) {
        sent.push_back({unit.size() > 4 && unit[1] % 2 == 1, Bytes(unit.begin() + 4, unit.end())});
      }
    }
    const std::lock_guard lock(udp.mutex);
    for (const FakeDatagram& d : udp.datagrams) sent.push_back({d.port == 5005, d.bytes});
    return sent;
  }
  std::vector<std::vector<RtcpPacket>> Reports() {
    std::vector<std::vector<RtcpPacket>> reports;
    for (const Sent& s : Received()) {
      if (s.rtcp) reports.push_back(ParseRtcp(s.bytes));
    }
    return reports;
  }

  FakeClock clock;
  FakeRtpConnection connection;
  FakeDatagramSender udp;
  ByeCollector byes;
  std::unique_ptr<TFrameSender> sender;
};

struct SlotCase {
  const char* what;
  std::vector<int64_t> captured;  // microseconds after the first frame; -1: no capture time
  std::vector<uint32_t> slots;    // steps after the first frame's time stamp
};

TEST_F(SenderReportTest, FramesTakeTheTimeOfTheirCaptureSlot) {
  const std::vector<SlotCase> cases = {
      {"on time", {0, 125000, 250000}, {0, 1, 2}},
      {"a skipped slot", {0, 125000, 375000}, {0, 1, 3}},
      {"a stall", {0, 500000, 625000}, {0, 4, 5}},
      {"two in one slot", {0, 125000, 140000}, {0, 1, 2}},
      {"jitter", {0, 180000, 260000, 310000}, {0, 1, 2, 3}},
      {"late, then catching up", {0, 240000, 250000, 375000}, {0, 2, 3, 4}},
      {"no capture time", {-1, -1, -1}, {0, 1, 2}},
  };
  for (const SlotCase& c : cases) {
    SCOPED_TRACE(c.what);
    MakeSender(true, 8);
    connection.TakeWrites();
    std::vector<uint32_t> slots;
    for (const int64_t at : c.captured) {
      TFramePackage* frame = Frame(at < 0 ? 0 : 7'000'000 + at);
      sender->SendPackage(*frame);
      frame->Release();
    }
    const std::vector<Sent> sent = Received();
    ASSERT_EQ(sent.size(), c.captured.size());
    for (const Sent& s : sent) slots.push_back((RtcpWord(s.bytes, 4) - RtcpWord(sent[0].bytes, 4)));
    for (uint32_t& slot : slots) slot /= 11250;
    EXPECT_EQ(slots, c.slots);
  }
}

TEST_F(SenderReportTest, ReportsFollowTheFirstPacketThenEveryFiveSecondsAndEndInGoodbye) {
  for (const bool interleaved : {true, false}) {
    SCOPED_TRACE(interleaved ? "interleaved" : "udp");
    MakeSender(interleaved);
    sender->Start();
    const int64_t start = clock.monotonicMicros.load();
    // Captured 40 ms before the report: its RTP time is 3600 ticks after the frame's.
    for (const int64_t captured : {start - 40'000, start, start + 40'000}) {
      if (captured == start + 40'000) clock.monotonicMicros += 5'000'000;
      const size_t before = Received().size();
      TFramePackage* frame = Frame(captured, captured == start - 40'000);
      sender->Enqueue(frame);
      ASSERT_TRUE(WaitUntil([&] { return Received().size() > before; }));
    }
    sender->Stop();
    const std::vector<Sent> sent = Received();
    ASSERT_EQ(sent.size(), 6u) << "a report after the first frame, one once 5 s passed, goodbye";
    EXPECT_TRUE(!sent[0].rtcp && sent[1].rtcp && !sent[2].rtcp && !sent[3].rtcp && sent[4].rtcp &&
                sent[5].rtcp);
    const uint32_t firstTime = RtcpWord(sent[0].bytes, 4);
    struct Expected {
      std::vector<int> types;
      uint32_t rtpTime, packets;
    };
    const Expected expected[] = {{{200, 202}, firstTime + 3600, 1},
                                 {{200, 202}, firstTime + 2 * 3600 + 5 * 90000 - 3600, 3},
                                 {{200, 202, 203}, firstTime + 2 * 3600 + 5 * 90000 - 3600, 3}};
    const std::vector<std::vector<RtcpPacket>> all = Reports();
    for (size_t i = 0; i < all.size(); ++i) {
      std::vector<int> types;
      for (const RtcpPacket& p : all[i]) {
        EXPECT_TRUE(p.ok);
        EXPECT_EQ(p.ssrc, sender->Ssrc());
        types.push_back(p.type);
      }
      EXPECT_EQ(types, expected[i].types);
      ASSERT_GE(all[i].size(), 2u);
      EXPECT_EQ(all[i][0].ntp, TRtcpSenderReport::NtpTimestamp(clock.utcMicros.load()));
      EXPECT_EQ(all[i][0].rtpTimestamp, expected[i].rtpTime);
      EXPECT_EQ(all[i][0].packetCount, expected[i].packets);
      EXPECT_EQ(all[i][0].octetCount, expected[i].packets * 5) << "payload bytes, no headers";
      EXPECT_EQ(all[i][1].cname.rfind("vistrel@", 0), 0u);
    }
    connection.TakeWrites();
    const std::lock_guard lock(udp.mutex);
    udp.datagrams.clear();
  }
}

TEST_F(SenderReportTest, NoGoodbyeFromASenderThatSentNothingOrLostItsClient) {
  struct Case {
    const char* what;
    bool sends, losesConnection;
  };
  for (const Case c : {Case{"never sent", false, false}, Case{"lost connection", true, true}}) {
    SCOPED_TRACE(c.what);
    MakeSender(true);
    connection.TakeWrites();
    sender->Start();
    if (c.sends) {
      sender->Enqueue(Frame(clock.monotonicMicros.load()));
      ASSERT_TRUE(WaitUntil([&] { return Reports().size() == 1; }));
    }
    if (c.losesConnection) connection.Disconnect();
    sender->Stop();
    EXPECT_EQ(Reports().size(), c.sends ? 1u : 0u);
  }
}

}  // namespace
