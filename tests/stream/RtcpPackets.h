// Reads RTCP compound packets back for the checks of the tests: every packet's header, SSRC and
// what the sender report and source description say. A packet that does not parse ends the list
// with an entry whose ok is false, so that a check on it fails.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct RtcpPacket {
  bool ok = false;
  int version = 0, count = 0, type = 0;
  size_t bytes = 0;  // as the length field says
  uint32_t ssrc = 0;
  uint64_t ntp = 0;  // sender report
  uint32_t rtpTimestamp = 0, packetCount = 0, octetCount = 0;
  std::string cname;  // source description
};

inline uint32_t RtcpWord(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t{b[at]} << 24 | uint32_t{b[at + 1]} << 16 | uint32_t{b[at + 2]} << 8 | b[at + 3];
}

inline std::vector<RtcpPacket> ParseRtcp(const std::vector<uint8_t>& b) {
  std::vector<RtcpPacket> packets;
  for (size_t at = 0; at < b.size();) {
    RtcpPacket& p = packets.emplace_back();
    if (b.size() - at < 8) return packets;
    p.version = b[at] >> 6;
    p.count = b[at] & 0x1F;
    p.type = b[at + 1];
    p.bytes = 4 * (size_t{b[at + 2]} << 8 | b[at + 3]) + 4;
    if (p.bytes > b.size() - at) return packets;
    p.ssrc = RtcpWord(b, at + 4);
    if (p.type == 200 && p.bytes >= 28) {
      p.ntp = uint64_t{RtcpWord(b, at + 8)} << 32 | RtcpWord(b, at + 12);
      p.rtpTimestamp = RtcpWord(b, at + 16);
      p.packetCount = RtcpWord(b, at + 20);
      p.octetCount = RtcpWord(b, at + 24);
    } else if (p.type == 202 && p.bytes >= 12 && b[at + 8] == 1) {
      const size_t length = b[at + 9];
      // The item and at least one zero byte after it must fit into the packet.
      if (10 + length >= p.bytes || b[at + 10 + length] != 0) return packets;
      p.cname.assign(b.begin() + static_cast<std::ptrdiff_t>(at + 10),
                     b.begin() + static_cast<std::ptrdiff_t>(at + 10 + length));
    }
    p.ok = p.version == 2;
    at += p.bytes;
  }
  return packets;
}
