// The session description DESCRIBE answers with: one video track, track1, and, when the stream
// carries audio a client can be told about, an audio track, track2.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// What the description says about the stream.
struct TSdpStream {
  // Encoder type code of the video (kEncodeTypeH264, kEncodeTypeMpeg4); anything else is
  // described as MJPEG.
  int32_t videoCodec = 0;
  // "a=fmtp:96 ..." from the desktop encoder, or empty while it has seen no key frame.
  std::string fmtpLine;
  // "PCMU/8000" and the like; empty: the description has no audio track.
  std::string audioRtpMap;
  // The server's address the client connected to, dotted decimal.
  std::string localAddress;
  // Local wall-clock time in microseconds since 1970-01-01 00:00 (no time-zone correction); it
  // serves as both session id and version, so each description is told apart from older ones.
  int64_t originMicroseconds = 0;
};

// The body lines, without line ends.
std::vector<std::string> BuildSdpLines(const TSdpStream& stream);

// The "s=" title naming the video codec.
std::string_view SdpVideoTitle(int32_t videoCodec);
