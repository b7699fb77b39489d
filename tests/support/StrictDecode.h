// H.264 through the strictest decoders at hand: ffmpeg with every error fatal and GStreamer's
// avdec_h264, as recorders and players would meet the stream.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

struct TStrictDecode {
  bool ffmpegAccepted = false;
  // GStreamer's output when it failed or warned; empty when it decoded cleanly.
  std::string gstComplaint;
  // ffmpeg's checksum of every picture decoded, in order.
  std::vector<std::string> pictureSums;
};

TStrictDecode StrictlyDecode(std::span<const uint8_t> annexB);
