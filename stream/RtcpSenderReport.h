// The RTCP packets a sender sends about its own track, as bytes: a sender report with the
// track's CNAME, which lets a player line the track's RTP clock up with the wall clock (and other
// tracks), and the goodbye that tells it the track has ended rather than stalled.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

// What one report says.
struct TSenderReportInfo {
  uint32_t ssrc = 0;
  int64_t utcMicros = 0;      // the wall clock when the report was made
  uint32_t rtpTimestamp = 0;  // the track's RTP clock at that same moment
  uint32_t packetCount = 0;   // RTP packets sent so far
  uint32_t octetCount = 0;    // RTP payload bytes sent so far, headers not counted
};

class TRtcpSenderReport {
 public:
  static constexpr uint8_t kSenderReport = 200;
  static constexpr uint8_t kSourceDescription = 202;
  static constexpr uint8_t kGoodbye = 203;

  // Replaces out with one compound packet: the sender report, the source description with the
  // CNAME (cut to 255 bytes) and, with goodbye, the goodbye for the same SSRC. Players drop an
  // RTCP packet that does not start with a report or lacks the CNAME, so neither goes alone.
  static void Build(const TSenderReportInfo& info, std::string_view cname, bool goodbye,
                    std::vector<uint8_t>& out);
  // The 64-bit NTP time stamp (seconds since 1900 in the high word, the fraction in the low one)
  // of a UTC time in microseconds since 1970.
  static uint64_t NtpTimestamp(int64_t utcMicros);
};
