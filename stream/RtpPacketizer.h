// Cuts a frame package into the RTP payloads of its track, once per frame, whatever the number of
// viewers: H.264 as single NAL units or FU-A fragments, every other codec (MPEG-4 video, audio) in
// plain chunks. No threads, no sockets: the per-viewer RTP headers are the senders' business.
#pragma once

#include <cstddef>
#include <memory>

#include "capture/FramePackage.h"
#include "RtpFrame.h"

class TRtpPacketizer {
 public:
  // Payload bytes per RTP packet, FU indicator and FU header not counted: 12 + 2 + 1400 bytes
  // stay below the Ethernet MTU.
  static constexpr size_t kMaxRtpPayload = 1400;

  // A key frame goes out as its leading units (parameter sets and the like), each on its own, then
  // everything from the first IDR slice on as one unit; any other H.264 frame as one unit. Only
  // the frame's last packet carries the marker, as it ends the access unit. Other codecs: chunks of kMaxRtpPayload, the marker on
  // the last chunk of a frame of track 1 and up, whose end alone moves the clock on.
  static std::shared_ptr<const TRtpFrame> Packetize(TFramePackage& package);
};
