// The bytes of the RTCP packets a sender sends, read back as a player reads them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RtcpPackets.h"
#include "stream/RtcpSenderReport.h"

namespace {

struct ReportCase {
  std::string cname;
  bool goodbye;
  std::vector<int> types;
  std::vector<size_t> bytes;
};

TEST(RtcpSenderReport, CompoundPacketsReadBack) {
  const TSenderReportInfo info{.ssrc = 0xA1B2C3D4,
                               .utcMicros = 1'796'000'000'250'000,
                               .rtpTimestamp = 0xFFFFFFF0,
                               .packetCount = 70000,
                               .octetCount = 0x89ABCDEF};
  const std::vector<ReportCase> cases = {
      // SDES: header, SSRC, type, length, the name and one to four zero bytes to a whole word.
      {"vistrel@host", false, {200, 202}, {28, 24}},
      {"vistrel@host.a", false, {200, 202}, {28, 28}},  // 20 bytes to here: four zeros follow
      {"", false, {200, 202}, {28, 12}},
      {"vistrel@host", true, {200, 202, 203}, {28, 24, 8}},
      {std::string(300, 'x'), true, {200, 202, 203}, {28, 268, 8}},  // the name cut to 255
  };
  for (const ReportCase& c : cases) {
    SCOPED_TRACE(c.cname.size());
    std::vector<uint8_t> bytes{1, 2, 3};  // what was there before goes
    TRtcpSenderReport::Build(info, c.cname, c.goodbye, bytes);
    const std::vector<RtcpPacket> packets = ParseRtcp(bytes);
    std::vector<int> types;
    std::vector<size_t> sizes;
    for (const RtcpPacket& p : packets) {
      EXPECT_TRUE(p.ok);
      EXPECT_EQ(p.ssrc, info.ssrc);
      EXPECT_EQ(p.count, p.type == 200 ? 0 : 1);
      types.push_back(p.type);
      sizes.push_back(p.bytes);
    }
    EXPECT_EQ(types, c.types);
    EXPECT_EQ(sizes, c.bytes);
    ASSERT_EQ(packets.size(), c.types.size());
    EXPECT_EQ(packets[0].ntp, (uint64_t{1'796'000'000 + 2'208'988'800u} << 32) | 0x40000000u);
    EXPECT_EQ(packets[0].rtpTimestamp, info.rtpTimestamp);
    EXPECT_EQ(packets[0].packetCount, info.packetCount);
    EXPECT_EQ(packets[0].octetCount, info.octetCount);
    EXPECT_EQ(packets[1].cname, c.cname.substr(0, 255));
  }
}

TEST(RtcpSenderReport, NtpTimeCountsFrom1900) {
  const std::vector<std::pair<int64_t, uint64_t>> cases = {
      {0, uint64_t{2'208'988'800} << 32},
      {1'500'000, (uint64_t{2'208'988'801} << 32) | 0x80000000u},
      {999'999, (uint64_t{2'208'988'800} << 32) | 0xFFFFEF39u},
  };
  for (const auto& [utc, ntp] : cases) EXPECT_EQ(TRtcpSenderReport::NtpTimestamp(utc), ntp) << utc;
}

}  // namespace
