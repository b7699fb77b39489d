#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rtsp/Sdp.h"

namespace {

const std::string kFmtp =
    "a=fmtp:96 profile-level-id=420029; packetization-mode=1; "
    "sprop-parameter-sets=Z0IAKeNQ,aM48gA==";
const std::string kMpeg4Fmtp = "a=fmtp:96 profile-level-id=1; config=000001B001000001B58913";

TEST(Sdp, DescribesEachCodecLineByLine) {
  struct Case {
    const char* what;
    TSdpStream stream;
    std::vector<std::string> lines;
  };
  const std::vector<std::string> head = {"v=0",
                                         "o=- 1796739785250000 1796739785250000 IN IP4 10.1.2.3"};
  const auto with = [&head](std::vector<std::string> rest) {
    std::vector<std::string> lines = head;
    lines.insert(lines.end(), rest.begin(), rest.end());
    return lines;
  };
  const Case cases[] = {
      {"H.264 with parameter sets",
       {4, kFmtp, "", "10.1.2.3", 1796739785250000},
       with({"s=H264 Video, streamed by Pelorix", "i=", "t=0 0", "a=recvonly",
             "m=video 0 RTP/AVP 96", "c=IN IP4 0.0.0.0", "a=rtpmap:96 H264/90000", kFmtp,
             "a=control:track1"})},
      {"H.264 before its first key frame",
       {4, "", "", "10.1.2.3", 1796739785250000},
       with({"s=H264 Video, streamed by Pelorix", "i=", "t=0 0", "a=recvonly",
             "m=video 0 RTP/AVP 96", "c=IN IP4 0.0.0.0", "a=rtpmap:96 H264/90000",
             "a=control:track1"})},
      {"MPEG-4 with its configuration",
       {3, kMpeg4Fmtp, "", "10.1.2.3", 1796739785250000},
       with({"s=MPEG-4 Video, streamed by Pelorix", "i=", "t=0 0", "a=recvonly",
             "m=video 0 RTP/AVP 96", "c=IN IP4 0.0.0.0", "a=rtpmap:96 MP4V-ES/90000", kMpeg4Fmtp,
             "a=control:track1"})},
      {"MJPEG",
       {6, "", "", "10.1.2.3", 1796739785250000},
       with({"s=MJPEG Video, streamed by Pelorix", "i=", "t=0 0", "a=recvonly",
             "m=video 0 RTP/AVP 26", "a=rtpmap:26 JPEG/90000", "a=control:track1"})},
      {"an unknown code reads as MJPEG",
       {0, "", "", "10.1.2.3", 1796739785250000},
       with({"s=MJPEG Video, streamed by Pelorix", "i=", "t=0 0", "a=recvonly",
             "m=video 0 RTP/AVP 26", "a=rtpmap:26 JPEG/90000", "a=control:track1"})},
      {"H.264 with PCMU audio",
       {4, kFmtp, "PCMU/8000", "10.1.2.3", 1796739785250000},
       with({"s=H264 Video, streamed by Pelorix", "i=", "t=0 0", "a=recvonly",
             "m=video 0 RTP/AVP 96", "c=IN IP4 0.0.0.0", "a=rtpmap:96 H264/90000", kFmtp,
             "a=control:track1", "m=audio 0 RTP/AVP 0", "a=rtpmap:0 PCMU/8000",
             "a=control:track2"})},
      {"MPEG-4 with PCMA audio keeps payload type 0",
       {3, "", "PCMA/16000", "10.1.2.3", 1796739785250000},
       with({"s=MPEG-4 Video, streamed by Pelorix", "i=", "t=0 0", "a=recvonly",
             "m=video 0 RTP/AVP 96", "c=IN IP4 0.0.0.0", "a=rtpmap:96 MP4V-ES/90000",
             "a=control:track1", "m=audio 0 RTP/AVP 0", "a=rtpmap:0 PCMA/16000",
             "a=control:track2"})},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(BuildSdpLines(c.stream), c.lines) << c.what;
  }
}

}  // namespace
