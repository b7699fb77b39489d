// Reads an RTCP compound packet back as a player does: each packet's type, count, length and
// SSRC, a sender report's times and counts, a source description's CNAME. A packet that does not
// parse (not version 2, longer than what is left) ends the list with type -1.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct RtcpPacket {
  int type = -1, count = 0;
  size_t bytes = 0;
  uint32_t ssrc = 0, rtpTime = 0, packets = 0, octets = 0;
  uint64_t ntp = 0;
  std::string cname;
};

inline uint32_t Be32(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t{b[at]} << 24 | uint32_t{b[at + 1]} << 16 | uint32_t{b[at + 2]} << 8 | b[at + 3];
}

inline std::vector<RtcpPacket> ParseRtcp(const std::vector<uint8_t>& b) {
  std::vector<RtcpPacket> all;
  for (size_t at = 0; at + 8 <= b.size(); at += all.back().bytes) {
    RtcpPacket& p = all.emplace_back();
    p.bytes = 4 * (size_t{b[at + 2]} << 8 | b[at + 3]) + 4;
    if (b[at] >> 6 != 2 || p.bytes > b.size() - at) return all;
    p.type = b[at + 1];
    p.count = b[at] & 0x1F;
    p.ssrc = Be32(b, at + 4);
    if (p.type == 200 && p.bytes >= 28) {
      p.ntp = uint64_t{Be32(b, at + 8)} << 32 | Be32(b, at + 12);
      p.rtpTime = Be32(b, at + 16);
      p.packets = Be32(b, at + 20);
      p.octets = Be32(b, at + 24);
    }
    // The CNAME item, with at least one zero byte after it inside the packet.
    const size_t end = at + 10 + (p.bytes >= 12 ? b[at + 9] : 0);
    if (p.type == 202 && b[at + 8] == 1 && end < at + p.bytes && b[end] == 0) {
      p.cname.assign(b.begin() + static_cast<long>(at) + 10, b.begin() + static_cast<long>(end));
    }
  }
  return all;
}
