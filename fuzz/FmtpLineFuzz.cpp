// The fmtp line of the session description, built from whatever bytes a key frame holds. The
// encoder is ours, but its output is only as sound as the library behind it, and the parameter sets
// end up in every DESCRIBE answer.
//
// What comes out must be the first parameter sets of the frame, each whole: starting right behind
// a start code, ending right at the next one, holding none itself; and the Base64 of the line must
// give their bytes back.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "capture/FmtpLine.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fmtp_line_fuzz: %s\n", what);
  std::abort();
}

void Check(bool condition, const char* what) {
  if (!condition) Fail(what);
}

bool Within(std::span<const uint8_t> part, std::span<const uint8_t> whole) {
  return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

// Length of the start code at position, 0 when there is none.
std::size_t StartCodeAt(std::span<const uint8_t> bytes, std::size_t position) {
  const std::span<const uint8_t> rest = bytes.subspan(position);
  if (rest.size() >= 3 && rest[0] == 0 && rest[1] == 0 && rest[2] == 1) return 3;
  if (rest.size() >= 4 && rest[0] == 0 && rest[1] == 0 && rest[2] == 0 && rest[3] == 1) return 4;
  return 0;
}

bool HoldsStartCode(std::span<const uint8_t> unit) {
  for (std::size_t i = 0; i + 3 <= unit.size(); ++i)
    if (unit[i] == 0 && unit[i + 1] == 0 && unit[i + 2] == 1) return true;
  return false;
}

void CheckUnit(std::span<const uint8_t> frame, std::span<const uint8_t> unit,
               std::span<const uint8_t> withStartCode, int type) {
  Check(!unit.empty() && Within(unit, frame) && Within(withStartCode, frame), "unit out of frame");
  Check((unit[0] & 0x1F) == type, "unit of the wrong type");
  Check(withStartCode.data() + withStartCode.size() == unit.data() + unit.size(),
        "the two views end apart");
  const std::size_t codeLength = withStartCode.size() - unit.size();
  Check((codeLength == 3 || codeLength == 4) &&
            StartCodeAt(frame, static_cast<std::size_t>(withStartCode.data() - frame.data())) ==
                codeLength,
        "no start code in front of the unit");
  const std::size_t end = static_cast<std::size_t>(unit.data() + unit.size() - frame.data());
  Check(StartCodeAt(frame, end) != 0, "the unit does not end at a start code");
  Check(!HoldsStartCode(unit), "the unit holds a start code");
}

// Standard alphabet, "=" padding; nothing when the text is not exactly that.
std::optional<std::vector<uint8_t>> DecodeBase64(std::string_view text) {
  static constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (text.size() % 4 != 0) return std::nullopt;
  std::vector<uint8_t> bytes;
  for (std::size_t i = 0; i < text.size(); i += 4) {
    uint32_t group = 0;
    int padding = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      const char c = text[i + k];
      if (c == '=' && i + 4 == text.size() && k >= 2) {
        ++padding;
        group <<= 6;
        continue;
      }
      const std::size_t value = kAlphabet.find(c);
      if (value == std::string_view::npos || padding > 0) return std::nullopt;
      group = group << 6 | static_cast<uint32_t>(value);
    }
    bytes.push_back(static_cast<uint8_t>(group >> 16));
    if (padding < 2) bytes.push_back(static_cast<uint8_t>(group >> 8));
    if (padding < 1) bytes.push_back(static_cast<uint8_t>(group));
  }
  return bytes;
}

bool SameBytes(const std::optional<std::vector<uint8_t>>& decoded, std::span<const uint8_t> unit) {
  return decoded && decoded->size() == unit.size() &&
         std::equal(unit.begin(), unit.end(), decoded->begin());
}

// Where the first unit of the type starts (its start code), scanning as a reader of the stream
// does: start codes one after the other; the last four bytes are too short to start a unit.
std::optional<std::size_t> FirstUnitOfType(std::span<const uint8_t> frame, int type) {
  for (std::size_t p = 0; p + 5 <= frame.size(); ++p) {
    const std::size_t codeLength = StartCodeAt(frame, p);
    if (codeLength == 0) continue;
    if ((frame[p + codeLength] & 0x1F) == type) return p;
    p += codeLength - 1;
  }
  return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::span<const uint8_t> frame(data, size);
  // MPEG-4: the configuration is the frame's own start, up to (not into) its first picture.
  if (const auto config = FindMpeg4Config(frame)) {
    Check(config->data() == data && !config->empty() && config->size() + 4 <= size,
          "the configuration is not the frame's start");
    const std::span<const uint8_t> vop = frame.subspan(config->size(), 4);
    Check(vop[0] == 0 && vop[1] == 0 && vop[2] == 1 && vop[3] == 0xB6,
          "the configuration does not end at a picture");
    const std::string mpeg4Line = MakeMpeg4FmtpLine(*config);
    const std::size_t hexAt = mpeg4Line.find("; config=");
    Check(hexAt != std::string::npos && hexAt + 9 + config->size() * 2 == mpeg4Line.size(),
          "the configuration is not all in the line");
  }
  const std::optional<TParameterSets> sets = FindParameterSets(frame);
  if (!sets) return 0;
  CheckUnit(frame, sets->sps, sets->spsWithStartCode, 7);
  CheckUnit(frame, sets->pps, sets->ppsWithStartCode, 8);
  Check(FirstUnitOfType(frame, 7) == static_cast<std::size_t>(sets->spsWithStartCode.data() - data),
        "not the first SPS");
  Check(FirstUnitOfType(frame, 8) == static_cast<std::size_t>(sets->ppsWithStartCode.data() - data),
        "not the first PPS");

  const std::string line = MakeFmtpLine(*sets);
  constexpr std::string_view kHead = "a=fmtp:96 profile-level-id=";
  constexpr std::string_view kMiddle = "; packetization-mode=1; sprop-parameter-sets=";
  Check(line.starts_with(kHead), "the line starts otherwise");
  char profile[7] = "420029";
  if (sets->sps.size() >= 4) {
    std::snprintf(profile, sizeof profile, "%02X%02X%02X", sets->sps[1], sets->sps[2], sets->sps[3]);
  }
  Check(std::string_view(line).substr(kHead.size(), 6) == profile,
        "profile-level-id is not the SPS's");
  Check(std::string_view(line).substr(kHead.size() + 6).starts_with(kMiddle),
        "the parameters go on otherwise");
  const std::string_view encoded = std::string_view(line).substr(kHead.size() + 6 + kMiddle.size());
  const std::size_t comma = encoded.find(',');
  Check(comma != std::string_view::npos, "no comma between the sets");
  Check(SameBytes(DecodeBase64(encoded.substr(0, comma)), sets->sps), "SPS does not decode back");
  Check(SameBytes(DecodeBase64(encoded.substr(comma + 1)), sets->pps), "PPS does not decode back");
  return 0;
}
