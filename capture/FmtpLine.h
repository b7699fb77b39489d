// The SDP format line of an H.264 stream, built from the parameter sets of a key frame.
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
