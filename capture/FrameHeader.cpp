#include "FrameHeader.h"

#include <algorithm>

#include "FrameType.h"

namespace {

void PutLittleEndian32(uint8_t* out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
  out[2] = static_cast<uint8_t>(value >> 16);
  out[3] = static_cast<uint8_t>(value >> 24);
}

uint32_t GetLittleEndian32(const uint8_t* in) {
  return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
         static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

// Signed fields travel as their two's-complement bit pattern.
void PutLittleEndian32(uint8_t* out, int32_t value) {
  PutLittleEndian32(out, static_cast<uint32_t>(value));
}

int32_t GetSignedLittleEndian32(const uint8_t* in) {
  return static_cast<int32_t>(GetLittleEndian32(in));
}

}  // namespace

TFrameHeader MakeFrameHeader(uint8_t videoCodec) {
  TFrameHeader header;
  header.VideoCodec = videoCodec;
  return header;
}

void SetEncodedFrame(TFrameHeader& header, const EncodedFrameInfo& frame) {
  header.DataLen = frame.dataLength;
  header.Width = frame.width;
  header.Height = frame.height;
  header.FrameType = frame.keyFrame ? kKeyVideoFrameType : kOtherVideoFrameType;
  // Floor division keeps the microseconds in 0..999000 even for a clock set before 1970.
  int64_t seconds = frame.localTimeMs / 1000;
  int64_t milliseconds = frame.localTimeMs % 1000;
  if (milliseconds < 0) {
    milliseconds += 1000;
    seconds -= 1;
  }
  header.TimeSec = static_cast<uint32_t>(seconds);
  header.TimeUSec = static_cast<uint32_t>(milliseconds * 1000);
}

bool IsValidFrameHeader(const TFrameHeader& header) {
  return header.HeadSize == kFrameHeaderSize && header.Magic1 == kFrameHeaderMagic1 &&
         header.Magic2 == kFrameHeaderMagic2;
}

bool WriteFrameHeader(const TFrameHeader& header, std::span<uint8_t> frame) {
  if (frame.size() < static_cast<size_t>(kFrameHeaderSize)) return false;
  uint8_t* out = frame.data();
  PutLittleEndian32(out + 0, header.HeadSize);
  PutLittleEndian32(out + 4, header.Magic1);
  PutLittleEndian32(out + 8, header.Magic2);
  PutLittleEndian32(out + 12, header.DataLen);
  PutLittleEndian32(out + 16, header.Width);
  PutLittleEndian32(out + 20, header.Height);
  out[24] = header.VideoCodec;
  out[25] = header.AudioFormat;
  out[26] = header.FrameType;
  std::copy(std::begin(header.Fixed27), std::end(header.Fixed27), out + 27);
  PutLittleEndian32(out + 32, header.TimeSec);
  PutLittleEndian32(out + 36, header.TimeUSec);
  PutLittleEndian32(out + 40, header.Fixed40);
  std::copy(std::begin(header.Fixed44), std::end(header.Fixed44), out + 44);
  return true;
}

std::optional<TFrameHeader> ReadFrameHeader(std::span<const uint8_t> frame) {
  if (frame.size() < static_cast<size_t>(kFrameHeaderSize)) return std::nullopt;
  const uint8_t* in = frame.data();
  TFrameHeader header;
  header.HeadSize = GetSignedLittleEndian32(in + 0);
  header.Magic1 = GetLittleEndian32(in + 4);
  header.Magic2 = GetLittleEndian32(in + 8);
  header.DataLen = GetSignedLittleEndian32(in + 12);
  header.Width = GetSignedLittleEndian32(in + 16);
  header.Height = GetSignedLittleEndian32(in + 20);
  header.VideoCodec = in[24];
  header.AudioFormat = in[25];
  header.FrameType = in[26];
  std::copy(in + 27, in + 32, std::begin(header.Fixed27));
  header.TimeSec = GetLittleEndian32(in + 32);
  header.TimeUSec = GetLittleEndian32(in + 36);
  header.Fixed40 = GetLittleEndian32(in + 40);
  std::copy(in + 44, in + 64, std::begin(header.Fixed44));
  return header;
}

std::optional<std::span<const uint8_t>> FramePayload(std::span<const uint8_t> frame,
                                                     const TFrameHeader& header) {
  if (header.DataLen < 0 || frame.size() < static_cast<size_t>(kFrameHeaderSize)) {
    return std::nullopt;
  }
  const size_t available = frame.size() - static_cast<size_t>(kFrameHeaderSize);
  const size_t length = static_cast<size_t>(header.DataLen);
  if (length > available) return std::nullopt;
  return frame.subspan(static_cast<size_t>(kFrameHeaderSize), length);
}
