// The bytes of the RTCP packets a sender sends, read back as a player reads them.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "stream/RtcpSenderReport.h"
#include "tests/support/RtcpPackets.h"

namespace {

TEST(RtcpSenderReport, CompoundPacketsReadBack) {
  const TSenderReportInfo info{0xA1B2C3D4, 1'796'000'000'250'000, 0xFFFFFFF0, 70000, 0x89ABCDEF};
  struct Case {
    std::string cname;
    bool goodbye;
    std::vector<int> types;
    std::vector<size_t> bytes;  // a CNAME chunk ends in one to four zero bytes
  };
  const Case cases[] = {{"vistrel@host", false, {200, 202}, {28, 24}},
                        {"vistrel@host.a", false, {200, 202}, {28, 28}},
                        {"", false, {200, 202}, {28, 12}},
                        {"vistrel@host", true, {200, 202, 203}, {28, 24, 8}},
                        {std::string(300, 'x'), true, {200, 202, 203}, {28, 268, 8}}};
  for (const Case& c : cases) {
    std::vector<uint8_t> out{1, 2, 3};  // what was there before goes
    TRtcpSenderReport::Build(info, c.cname, c.goodbye, out);
    const std::vector<RtcpPacket> packets = ParseRtcp(out);
    std::vector<int> types;
    std::vector<size_t> bytes;
    for (const RtcpPacket& p : packets) {
      types.push_back(p.type);
      bytes.push_back(p.bytes);
      EXPECT_EQ(std::make_pair(p.ssrc, p.count), std::make_pair(info.ssrc, p.type == 200 ? 0 : 1));
    }
    EXPECT_EQ(types, c.types) << c.cname.size();
    EXPECT_EQ(bytes, c.bytes) << c.cname.size();
    ASSERT_GE(packets.size(), 2u);
    EXPECT_EQ(packets[0].ntp, uint64_t{1'796'000'000 + 2'208'988'800u} << 32 | 0x40000000u);
    EXPECT_EQ(std::tie(packets[0].rtpTime, packets[0].packets, packets[0].octets),
              std::tie(info.rtpTimestamp, info.packetCount, info.octetCount));
    EXPECT_EQ(packets[1].cname, c.cname.substr(0, 255));
  }
}

}  // namespace
