// The SDP format line of a stream, built from a key frame: the parameter sets of H.264, the
// configuration headers of MPEG-4 Part 2.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

struct TParameterSets {
  // The NAL units without their start codes.
  std::span<const uint8_t> sps;
  std::span<const uint8_t> pps;
  // The same units with the start code in front of each, as the log shows them.
  std::span<const uint8_t> spsWithStartCode;
  std::span<const uint8_t> ppsWithStartCode;
};

// The first SPS and PPS of an Annex B access unit, each ended by the start code that follows it.
// The last NAL unit of the buffer has no such end and is never taken, so a frame whose parameter
// sets come last yields nothing.
std::optional<TParameterSets> FindParameterSets(std::span<const uint8_t> accessUnit);

// "a=fmtp:96 profile-level-id=<PPCCLL>; packetization-mode=1; sprop-parameter-sets=<sps>,<pps>",
// the profile, constraint flags and level in hex as the SPS itself gives them: strict clients
// refuse a description whose profile-level-id the stream contradicts. An SPS too short to hold
// them keeps the 420029 announced before the stream was known.
std::string MakeFmtpLine(const TParameterSets& sets);

// The configuration of an MPEG-4 Part 2 key frame: everything in front of its first picture
// (VOP) start code, the VOS, VO and VOL headers a decoder must see first. Nothing when the frame
// does not start with a start code or has no picture.
std::optional<std::span<const uint8_t>> FindMpeg4Config(std::span<const uint8_t> keyFrame);

// "a=fmtp:96 profile-level-id=<n>; config=<HEX>": the level from the VOS header (1, simple profile
// level 1, without one) and the configuration in hex, so that strict clients set the decoder up
// before the first picture comes.
std::string MakeMpeg4FmtpLine(std::span<const uint8_t> config);
