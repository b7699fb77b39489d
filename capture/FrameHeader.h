// The fixed 64-byte record the desktop encoder puts in front of every encoded frame and the live
// channel reads back. On the wire it is little-endian whatever the host; the struct mirrors the
// layout for readability, but bytes only ever cross through WriteFrameHeader and ReadFrameHeader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

inline constexpr int32_t kFrameHeaderSize = 64;
inline constexpr uint32_t kFrameHeaderMagic1 = 0x11AFCAA9u;
inline constexpr uint32_t kFrameHeaderMagic2 = 0xEE102FBDu;
// Audio sample format 2: 16-bit samples at 8000 Hz, what the desktop encoder declares.
inline constexpr uint8_t kDesktopAudioFormat = 2;

struct TFrameHeader {
  int32_t HeadSize = kFrameHeaderSize;
  uint32_t Magic1 = kFrameHeaderMagic1;
  uint32_t Magic2 = kFrameHeaderMagic2;
  int32_t DataLen = 0;  // encoded bytes following the header
  int32_t Width = 0;
  int32_t Height = 0;
  uint8_t VideoCodec = 0;  // encoder type for video, 128 to 130 for audio frames
  uint8_t AudioFormat = kDesktopAudioFormat;
  uint8_t FrameType = 0;
  // Bytes 27 to 31 and 40 to 63 are read by nobody, yet the record has always carried these values;
  // a fresh header writes them and a header read back keeps whatever it held.
  uint8_t Fixed27[5] = {0, 0, 1, 1, 16};
  uint32_t TimeSec = 0;   // capture time, whole seconds of the local clock since 1970-01-01 00:00
  uint32_t TimeUSec = 0;  // microseconds within that second
  uint32_t Fixed40 = 8000;
  uint8_t Fixed44[20] = {0, 0, 0, 0, 0, 44, 1};

  friend bool operator==(const TFrameHeader&, const TFrameHeader&) = default;
};

static_assert(sizeof(TFrameHeader) == kFrameHeaderSize);
static_assert(offsetof(TFrameHeader, DataLen) == 12);
static_assert(offsetof(TFrameHeader, VideoCodec) == 24);
static_assert(offsetof(TFrameHeader, FrameType) == 26);
static_assert(offsetof(TFrameHeader, TimeSec) == 32);
static_assert(offsetof(TFrameHeader, Fixed40) == 40);

// What the desktop encoder knows about one frame it has just encoded.
struct EncodedFrameInfo {
  int32_t dataLength = 0;
  int32_t width = 0;
  int32_t height = 0;
  bool keyFrame = false;
  int64_t localTimeMs = 0;  // local wall-clock time in ms since 1970-01-01 00:00
};

// A freshly initialised header: size, magic words, the given codec, audio format 2, fixed bytes.
TFrameHeader MakeFrameHeader(uint8_t videoCodec);

// Records one encoded frame: its length, picture size, frame type (2 key, 3 other) and time.
void SetEncodedFrame(TFrameHeader& header, const EncodedFrameInfo& frame);

// True when the size field and both magic words are right; only then is the codec trustworthy.
bool IsValidFrameHeader(const TFrameHeader& header);

// Writes the 64 header bytes to the start of frame; false (nothing written) when frame is shorter.
bool WriteFrameHeader(const TFrameHeader& header, std::span<uint8_t> frame);

// Reads the header from the start of frame; nothing when frame is shorter than 64 bytes.
std::optional<TFrameHeader> ReadFrameHeader(std::span<const uint8_t> frame);

// The header's DataLen bytes after the first 64 bytes of frame, or nothing when DataLen is
// negative or runs past the end of frame: a damaged header must not make anyone read past it.
std::optional<std::span<const uint8_t>> FramePayload(std::span<const uint8_t> frame,
                                                     const TFrameHeader& header);
