#include "RtcpSenderReport.h"

#include <algorithm>

namespace {

constexpr uint8_t kVersion2 = 0x80;
constexpr uint8_t kCnameItem = 1;
constexpr size_t kMaxItemLength = 255;
constexpr uint64_t kSecondsFrom1900To1970 = 2'208'988'800;

void Put32(std::vector<uint8_t>& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

// A packet header; the length counts the packet's 32-bit words after the first one.
void PutHeader(std::vector<uint8_t>& out, uint8_t count, uint8_t type, size_t words) {
  out.push_back(static_cast<uint8_t>(kVersion2 | count));
  out.push_back(type);
  out.push_back(static_cast<uint8_t>((words - 1) >> 8));
  out.push_back(static_cast<uint8_t>(words - 1));
}

}  // namespace

uint64_t TRtcpSenderReport::NtpTimestamp(int64_t utcMicros) {
  const auto micros = static_cast<uint64_t>(std::max<int64_t>(utcMicros, 0));
  const uint64_t seconds = micros / 1'000'000 + kSecondsFrom1900To1970;
  const uint64_t fraction = ((micros % 1'000'000) << 32) / 1'000'000;
  return seconds << 32 | fraction;
}

void TRtcpSenderReport::Build(const TSenderReportInfo& info, std::string_view cname, bool goodbye,
                              std::vector<uint8_t>& out) {
  out.clear();
  PutHeader(out, 0, kSenderReport, 7);
  Put32(out, info.ssrc);
  const uint64_t ntp = NtpTimestamp(info.utcMicros);
  Put32(out, static_cast<uint32_t>(ntp >> 32));
  Put32(out, static_cast<uint32_t>(ntp));
  Put32(out, info.rtpTimestamp);
  Put32(out, info.packetCount);
  Put32(out, info.octetCount);

  const std::string_view name = cname.substr(0, kMaxItemLength);
  // SSRC, item type and length, the name, then at least one zero byte that ends the item list
  // and pads the chunk to whole words.
  const size_t chunkBytes = (4 + 2 + name.size()) / 4 * 4 + 4;
  PutHeader(out, 1, kSourceDescription, 1 + chunkBytes / 4);
  const size_t chunkStart = out.size();
  Put32(out, info.ssrc);
  out.push_back(kCnameItem);
  out.push_back(static_cast<uint8_t>(name.size()));
  out.insert(out.end(), name.begin(), name.end());
  out.resize(chunkStart + chunkBytes, 0);

  if (goodbye) {
    PutHeader(out, 1, kGoodbye, 2);
    Put32(out, info.ssrc);
  }
}
