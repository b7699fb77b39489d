#include "RtpPacketizer.h"

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "config/Settings.h"

namespace {

constexpr uint8_t kFuAType = 28;
constexpr uint8_t kFuStartBit = 0x80;
constexpr uint8_t kFuEndBit = 0x40;
constexpr uint8_t kNalTypeMask = 0x1F;
constexpr uint8_t kNalIdrSlice = 5;
constexpr size_t kMaxPayload = TRtpPacketizer::kMaxRtpPayload;

using TPackets = std::vector<TRtpFrame::TPacket>;

// A start code needs four bytes at pos, even the three-byte one, so the byte after it (the NAL
// header) always exists.
size_t StartCodeAt(std::span<const uint8_t> frame, size_t pos) {
  if (frame.size() < 4 || pos > frame.size() - 4) return 0;
  if (frame[pos] != 0 || frame[pos + 1] != 0) return 0;
  if (frame[pos + 2] == 1) return 3;
  if (frame[pos + 2] == 0 && frame[pos + 3] == 1) return 4;
  return 0;
}

// The start code in front of a frame's first unit. Unlike StartCodeAt it also takes a start code
// with nothing (or only a header) behind it: such a frame has nothing to send, and reading the
// start code's own bytes as a NAL unit would send garbage.
size_t LeadingStartCode(std::span<const uint8_t> frame) {
  if (frame.size() >= 4 && frame[0] == 0 && frame[1] == 0 && frame[2] == 0 && frame[3] == 1) {
    return 4;
  }
  if (frame.size() >= 3 && frame[0] == 0 && frame[1] == 0 && frame[2] == 1) return 3;
  return 0;
}

// The unit of length bytes at offset (header byte included). A unit of a lone header byte carries
// nothing and goes nowhere.
void AddNalUnit(std::span<const uint8_t> frame, size_t offset, size_t length, TPackets& packets) {
  if (length < 2) return;
  const uint8_t header = frame[offset];
  const size_t bodyLength = length - 1;
  if (bodyLength <= kMaxPayload) {
    packets.push_back({.bodyOffset = offset, .bodyLength = length, .marker = true});
    return;
  }
  const uint8_t type = header & kNalTypeMask;
  const auto indicator = static_cast<uint8_t>((header & 0xE0) | kFuAType);
  for (size_t done = 0; done < bodyLength;) {
    const size_t size = std::min(kMaxPayload, bodyLength - done);
    const bool last = done + size == bodyLength;
    uint8_t fuHeader = type;
    if (done == 0) {
      fuHeader = static_cast<uint8_t>(kFuStartBit | type);
    } else if (last) {
      fuHeader = static_cast<uint8_t>(kFuEndBit | type);
    }
    packets.push_back({.bodyOffset = offset + 1 + done,
                       .bodyLength = size,
                       .prefix = {indicator, fuHeader},
                       .prefixLength = 2,
                       .marker = last});
    done += size;
  }
}

// Start codes in the last bytes of a frame are not looked for.
void AddH264Frame(std::span<const uint8_t> frame, bool key, TPackets& packets) {
  size_t pos = LeadingStartCode(frame);
  if (key) {
    for (;;) {
      size_t codeAt = 0;
      size_t codeLength = 0;
      for (size_t p = pos; p + 6 < frame.size(); ++p) {
        codeLength = StartCodeAt(frame, p);
        if (codeLength > 0) {
          codeAt = p;
          break;
        }
      }
      if (codeLength == 0) break;
      const bool idr = (frame[codeAt + codeLength] & kNalTypeMask) == kNalIdrSlice;
      AddNalUnit(frame, pos, codeAt - pos, packets);
      pos = codeAt + codeLength;
      if (idr) break;
    }
  }
  if (pos < frame.size()) AddNalUnit(frame, pos, frame.size() - pos, packets);
  // The marker ends the access unit, not each NAL unit: a receiver that took the marker after the
  // parameter sets for the end of a picture would hand on a picture without its slices.
  for (TRtpFrame::TPacket& packet : packets) packet.marker = false;
  if (!packets.empty()) packets.back().marker = true;
}

void AddChunks(size_t size, bool frameEnd, TPackets& packets) {
  for (size_t offset = 0; offset < size;) {
    const size_t length = std::min(kMaxPayload, size - offset);
    packets.push_back({.bodyOffset = offset,
                       .bodyLength = length,
                       .marker = frameEnd && offset + length == size});
    offset += length;
  }
}

}  // namespace

std::shared_ptr<const TRtpFrame> TRtpPacketizer::Packetize(TFramePackage& package) {
  const std::span<const uint8_t> data(package.Data(), package.Size());
  TPackets packets;
  packets.reserve(data.size() / kMaxPayload + 4);
  bool advancesClock = true;
  if (package.Codec == static_cast<uint32_t>(kEncodeTypeH264)) {
    AddH264Frame(data, package.IsKeyFrame(), packets);
  } else {
    // Track 0 carries pieces of a frame that goes on in the next package.
    advancesClock = package.Track != 0;
    AddChunks(data.size(), advancesClock, packets);
  }
  return std::make_shared<const TRtpFrame>(package, std::move(packets), advancesClock);
}
