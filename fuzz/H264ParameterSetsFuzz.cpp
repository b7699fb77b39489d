// The skip frames' reading of libx264's output: parameter sets, slice headers and emulation
// prevention, over whatever bytes an access unit might hold. The encoder is ours, but its output is
// only as sound as the library behind it, and a misread set would put broken pictures on the wire.
//
// Escaping must leave no start code inside a unit and undo exactly; accepted parameter sets must
// give a skip frame that fits its buffer and reads back as an all-skipped P slice; renumbering
// of libx264's later pictures must either refuse and leave the unit alone, or keep every unit but
// the slices as it was.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "encoder/H264Bits.h"
#include "encoder/H264SkipFrames.h"
#include "fuzz/FuzzCheck.h"

using fuzz::Check;

namespace {

bool HoldsStartCodePrefix(std::span<const uint8_t> payload) {
  for (size_t i = 0; i + 2 < payload.size(); ++i) {
    if (payload[i] == 0 && payload[i + 1] == 0 && payload[i + 2] <= 2) return true;
  }
  return false;
}

void CheckEscaping(std::span<const uint8_t> data) {
  std::vector<uint8_t> escaped;
  AddH264EmulationPrevention(data, escaped);
  Check(!HoldsStartCodePrefix(escaped), "escaped payload holds a start code prefix");
  Check(escaped.empty() || escaped.back() != 0, "escaped payload ends in a zero byte");
  std::array<uint8_t, 64> fixed{};
  const size_t length = AddH264EmulationPrevention(data, fixed);
  Check(escaped.size() > fixed.size()
            ? length == 0
            : std::equal(fixed.begin(), fixed.begin() + static_cast<long>(length), escaped.begin(),
                         escaped.end()),
        "escaping into a buffer differs from escaping into a vector");
  if (!data.empty() && data.back() == 0) return;  // only streams of zero words end that way
  std::vector<uint8_t> back;
  RemoveH264EmulationPrevention(escaped, back);
  Check(std::equal(back.begin(), back.end(), data.begin(), data.end()), "escaping does not undo");
}

void CheckSkipFrame(TH264SkipFrames& skips) {
  std::array<uint8_t, TH264SkipFrames::kMaxSkipFrameSize> unit{};
  const size_t size = skips.WriteSkipFrame(unit.data(), unit.size());
  Check(size > 5 && unit[0] == 0 && unit[1] == 0 && unit[2] == 0 && unit[3] == 1,
        "accepted parameter sets gave no skip frame");
  const std::span<const uint8_t> payload(unit.data() + 4, size - 4);
  Check(!HoldsStartCodePrefix(payload), "skip frame holds a start code prefix");
  std::vector<uint8_t> rbsp;
  RemoveH264EmulationPrevention(payload, rbsp);
  TH264BitReader r(rbsp);
  const uint32_t header = r.ReadBits(8);
  Check((header & 0x1f) == 1 && (header & 0x60) != 0, "skip frame is no reference P slice unit");
  Check(r.ReadUe() == 0 && r.ReadUe() == 5 && !r.failed(), "skip slice does not cover the picture");
}

void CheckRenumbering(TH264SkipFrames& skips, std::span<const uint8_t> data) {
  const std::optional<std::span<const uint8_t>> unit = skips.AdjustEncodedFrame(data);
  if (!unit) return;
  TAnnexBUnits before(data), after(*unit);
  std::span<const uint8_t> a, b;
  while (before.Next(a)) {
    Check(after.Next(b), "renumbering lost a unit");
    Check(a[0] == b[0], "renumbering changed a unit's header");
    if ((a[0] & 0x1f) != 1) {
      Check(std::equal(a.begin(), a.end(), b.begin(), b.end()),
            "renumbering changed a non-slice unit");
    }
  }
  Check(!after.Next(b), "renumbering added a unit");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> input(data, size);
  CheckEscaping(input);
  TH264SkipFrames skips;
  if (skips.LearnParameterSets(input) && skips.ready()) {
    CheckSkipFrame(skips);
    // What follows the IDR picture stands for libx264's next pictures.
    TAnnexBUnits units(input);
    std::span<const uint8_t> unit;
    size_t afterIdr = 0;
    while (units.Next(unit)) {
      if ((unit[0] & 0x1f) == 5) afterIdr = static_cast<size_t>(unit.data() - data) + unit.size();
    }
    CheckRenumbering(skips, input.subspan(afterIdr));
  } else {
    std::array<uint8_t, TH264SkipFrames::kMaxSkipFrameSize> unit{};
    Check(!skips.ready() && skips.WriteSkipFrame(unit.data(), unit.size()) == 0,
          "skip frame without usable parameter sets and an IDR picture");
  }
  return 0;
}
