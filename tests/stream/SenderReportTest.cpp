// What a video sender tells about time: the RTP time of each frame by its capture slot, and the
// sender reports and goodbye its send thread sends beside the packets (here by UDP: RTP to the
// client's port 5004, RTCP to 5005).
#include <gtest/gtest.h>

#include <memory>
#include <tuple>
#include <vector>

#include "capture/FrameType.h"
#include "config/Settings.h"
#include "stream/FrameSender.h"
#include "stream/RtcpSenderReport.h"
#include "tests/support/ByeCollector.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FakeDatagramSender.h"
#include "tests/support/RtcpPackets.h"
#include "tests/support/WaitUntil.h"

namespace {

struct SenderOnFakes {
  explicit SenderOnFakes(int32_t fps) {
    sender = std::make_unique<TFrameSender>(
        fps, TFrameSenderLinks{&udp, {}, &byes, [](std::string_view) {}, {}, &clock});
    sender->SetDestination("127.0.0.1", 5004);
  }
  // A key frame of one 5-byte NAL unit; capture time 0: none.
  TFramePackage* Frame(int64_t capturedMicros) {
    const std::vector<uint8_t> bytes{0, 0, 0, 1, 0x65, 0x88, 0x84, 0x21, 0x44};
    TFramePackage* package = TFramePackage::Create(bytes);
    package->Track = 1;
    package->Codec = kEncodeTypeH264;
    package->FrameType = kKeyVideoFrameType;
    package->CapturedMicros = capturedMicros;
    return package;
  }
  std::vector<FakeDatagram> Sent() {
    const std::lock_guard lock(udp.mutex);
    return udp.datagrams;
  }
  FakeClock clock;
  FakeDatagramSender udp;
  ByeCollector byes;
  std::unique_ptr<TFrameSender> sender;
};

TEST(SenderTime, FramesTakeTheRtpTimeOfTheirCaptureSlot) {
  const std::vector<std::pair<std::vector<int64_t>, std::vector<uint32_t>>> cases = {
      // microseconds after the first capture (-1: no capture time), slots at 8 fps
      {{0, 125000, 250000}, {0, 1, 2}},
      {{0, 125000, 375000}, {0, 1, 3}},             // a skipped slot leaves its gap
      {{0, 500000, 625000}, {0, 4, 5}},             // a stall
      {{0, 125000, 140000}, {0, 1, 2}},             // two in one slot still move on
      {{0, 180000, 260000, 310000}, {0, 1, 2, 3}},  // jitter rounds to the nearest slot
      {{0, 240000, 250000, 375000}, {0, 2, 3, 4}},
      {{-1, -1, -1}, {0, 1, 2}}};
  for (const auto& [captured, expected] : cases) {
    SenderOnFakes fakes(8);
    for (const int64_t at : captured) {
      TFramePackage* frame = fakes.Frame(at < 0 ? 0 : 7'000'000 + at);
      fakes.sender->SendPackage(*frame);
      frame->Release();
    }
    std::vector<uint32_t> slots;
    const std::vector<FakeDatagram> sent = fakes.Sent();
    for (const FakeDatagram& d : sent)
      slots.push_back((Be32(d.bytes, 4) - Be32(sent[0].bytes, 4)) / 11250);
    EXPECT_EQ(slots, expected);
  }
}

TEST(SenderTime, ReportsFollowTheFirstPacketThenEveryFiveSecondsAndEndInGoodbye) {
  SenderOnFakes fakes(25);
  fakes.sender->Start();
  const int64_t start = fakes.clock.monotonicMicros;
  // The first frame was captured 40 ms before its report: 3600 ticks of the RTP clock.
  for (const auto& [captured, datagrams] :
       {std::pair{start - 40'000, 2u}, {start, 3u}, {start + 40'000, 5u}}) {
    if (captured > start) fakes.clock.monotonicMicros += 5'000'000;
    fakes.sender->Enqueue(fakes.Frame(captured));
    ASSERT_TRUE(WaitUntil([&] { return fakes.Sent().size() == datagrams; }));
  }
  fakes.sender->Stop();
  const std::vector<FakeDatagram> sent = fakes.Sent();
  std::vector<std::vector<RtcpPacket>> reports;
  for (const FakeDatagram& d : sent) {
    if (d.port == 5005) reports.push_back(ParseRtcp(d.bytes));
  }
  ASSERT_EQ(reports.size(), 3u);
  // The last frame is 2 slots on and 4.96 s before the later reports.
  const uint32_t first = Be32(sent[0].bytes, 4), later = first + 2 * 3600 + 446400;
  const std::tuple<size_t, uint32_t, uint32_t> expected[] = {
      {2, first + 3600, 1}, {2, later, 3}, {3, later, 3}};  // packets, RTP time, RTP packets sent
  for (size_t i = 0; i < reports.size(); ++i) {
    const RtcpPacket& report = reports[i].at(0);
    EXPECT_EQ(std::make_tuple(reports[i].size(), report.rtpTime, report.packets), expected[i]);
    EXPECT_EQ(report.octets, report.packets * 5) << "payload bytes, headers not counted";
    EXPECT_EQ(report.ntp, TRtcpSenderReport::NtpTimestamp(fakes.clock.utcMicros));
    EXPECT_EQ(report.ssrc, fakes.sender->Ssrc());
  }
}

}  // namespace
