#include "FmtpLine.h"

#include "Base64.h"

namespace {

constexpr int kNalSps = 7;
constexpr int kNalPps = 8;

// Length of the start code at p (3 or 4), or 0.
size_t StartCodeAt(std::span<const uint8_t> b, size_t p) {
  if (b[p] == 0 && b[p + 1] == 0 && b[p + 2] == 1) return 3;
  if (b[p] == 0 && b[p + 1] == 0 && b[p + 2] == 0 && b[p + 3] == 1) return 4;
  return 0;
}

struct PendingUnit {
  size_t startCode = 0;  // position of its start code
  size_t header = 0;     // position of its NAL header byte
  size_t length = 0;     // from the header byte up to the next start code; 0 until known
  bool waiting = false;
};

// Upper-case hex digits, two per byte, as SDP parameters write binary values.
std::string HexDigits(std::span<const uint8_t> bytes) {
  constexpr char kHex[] = "0123456789ABCDEF";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (const uint8_t byte : bytes) {
    hex += kHex[byte >> 4];
    hex += kHex[byte & 0x0F];
  }
  return hex;
}

}  // namespace

std::optional<TParameterSets> FindParameterSets(std::span<const uint8_t> au) {
  if (au.size() < 5) return std::nullopt;
  PendingUnit sps, pps;
  for (size_t p = 0; p + 5 <= au.size(); ++p) {
    const size_t codeLength = StartCodeAt(au, p);
    if (codeLength == 0) continue;
    for (PendingUnit* unit : {&sps, &pps}) {
      if (unit->waiting) {
        unit->length = p - unit->header;
        unit->waiting = false;
      }
    }
    if (sps.length > 0 && pps.length > 0) break;
    const size_t header = p + codeLength;
    const int type = au[header] & 0x1F;
    if (type == kNalSps || type == kNalPps) {
      PendingUnit& unit = type == kNalSps ? sps : pps;
      // A second SPS before the PPS (or the other way round) must not replace the first one.
      if (unit.length == 0) unit = PendingUnit{p, header, 0, true};
    }
    // Past the start code, so that 00 00 00 01 is not seen a second time as 00 00 01.
    p += codeLength - 1;
  }
  if (sps.length == 0 || pps.length == 0) return std::nullopt;
  TParameterSets sets;
  sets.sps = au.subspan(sps.header, sps.length);
  sets.pps = au.subspan(pps.header, pps.length);
  sets.spsWithStartCode = au.subspan(sps.startCode, sps.header - sps.startCode + sps.length);
  sets.ppsWithStartCode = au.subspan(pps.startCode, pps.header - pps.startCode + pps.length);
  return sets;
}

std::string MakeFmtpLine(const TParameterSets& sets) {
  const std::string profileLevelId =
      sets.sps.size() >= 4 ? HexDigits(sets.sps.subspan(1, 3)) : std::string("420029");
  return "a=fmtp:96 profile-level-id=" + profileLevelId +
         "; packetization-mode=1; sprop-parameter-sets=" + Base64Encode(sets.sps) + "," +
         Base64Encode(sets.pps);
}

std::optional<std::span<const uint8_t>> FindMpeg4Config(std::span<const uint8_t> keyFrame) {
  constexpr uint8_t kVopStartCode = 0xB6;
  if (keyFrame.size() < 4 || StartCodeAt(keyFrame, 0) != 3) return std::nullopt;
  for (size_t p = 0; p + 4 <= keyFrame.size(); ++p) {
    if (StartCodeAt(keyFrame, p) == 3 && keyFrame[p + 3] == kVopStartCode) {
      if (p == 0) return std::nullopt;
      return keyFrame.first(p);
    }
  }
  return std::nullopt;
}

std::string MakeMpeg4FmtpLine(std::span<const uint8_t> config) {
  constexpr uint8_t kVosStartCode = 0xB0;
  int level = 1;
  if (config.size() >= 5 && config[0] == 0 && config[1] == 0 && config[2] == 1 &&
      config[3] == kVosStartCode) {
    level = config[4];
  }
  return "a=fmtp:96 profile-level-id=" + std::to_string(level) + "; config=" + HexDigits(config);
}
