#include "Sdp.h"

#include "config/Settings.h"

std::string_view SdpVideoTitle(int32_t videoCodec) {
  switch (videoCodec) {
    case kEncodeTypeH264:
      return "H264 Video, streamed by Pelorix";
    case kEncodeTypeMpeg4:
      return "MPEG-4 Video, streamed by Pelorix";
    default:
      return "MJPEG Video, streamed by Pelorix";
  }
}

std::vector<std::string> BuildSdpLines(const TSdpStream& stream) {
  const std::string origin = std::to_string(stream.originMicroseconds);
  std::vector<std::string> lines = {
      "v=0",
      "o=- " + origin + " " + origin + " IN IP4 " + stream.localAddress,
      "s=" + std::string(SdpVideoTitle(stream.videoCodec)),
      "i=",
      "t=0 0",
      "a=recvonly",
  };
  switch (stream.videoCodec) {
    case kEncodeTypeH264:
      // Unicast RTSP clients take the RTSP peer as the media source; strict SDP parsers still
      // want a connection line.
      lines.insert(lines.end(),
                   {"m=video 0 RTP/AVP 96", "c=IN IP4 0.0.0.0", "a=rtpmap:96 H264/90000"});
      break;
    case kEncodeTypeMpeg4:
      lines.insert(lines.end(),
                   {"m=video 0 RTP/AVP 96", "c=IN IP4 0.0.0.0", "a=rtpmap:96 MP4V-ES/90000"});
      break;
    default:
      lines.insert(lines.end(), {"m=video 0 RTP/AVP 26", "a=rtpmap:26 JPEG/90000"});
      break;
  }
  if (!stream.fmtpLine.empty()) lines.push_back(stream.fmtpLine);
  lines.emplace_back("a=control:track1");

  if (!stream.audioRtpMap.empty()) {
    // The audio sender stamps every packet with payload type 0, PCMA included; the rtpmap line
    // names the real codec and clients decode by it.
    lines.emplace_back("m=audio 0 RTP/AVP 0");
    lines.push_back("a=rtpmap:0 " + stream.audioRtpMap);
    lines.emplace_back("a=control:track2");
  }
  return lines;
}
