#include "LiveDescription.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "Sdp.h"
#include "config/Settings.h"
#include "log/ServiceLog.h"
#include "stream/LiveChannel.h"
#include "stream/LiveSession.h"

namespace {

std::string WaitForFmtpLine(const TRtspServletLinks& links, const TLiveChannel& channel) {
  if (!links.fmtpLine) return {};
  std::string line = links.fmtpLine();
  if (!line.empty() || channel.VideoCodec() != kEncodeTypeH264) return line;
  // The pipeline encodes only on demand. Where it cannot be started and no session keeps it going,
  // no key frame is coming, and a description without parameter sets still plays from the in-band
  // ones.
  if (links.startCapture) {
    links.startCapture();
  } else if (const auto manager = links.sessions ? links.sessions() : nullptr;
             !manager || !manager->HasSessions()) {
    return line;
  }
  const std::chrono::milliseconds step = std::max(links.fmtpPollStep, std::chrono::milliseconds(1));
  for (std::chrono::milliseconds waited{0}; waited < links.fmtpWait && line.empty();
       waited += step) {
    if (links.sleep) {
      links.sleep(step);
    } else {
      std::this_thread::sleep_for(step);
    }
    line = links.fmtpLine();
  }
  if (line.empty()) {
    const std::string_view text = "no H.264 parameter sets yet, describe without fmtp";
    links.log ? links.log(text) : LogMessage(text);
  }
  return line;
}

}  // namespace

bool DescribesAudio(const TRtspServletLinks& links, const TLiveChannel& channel) {
  return links.audioEnabled && channel.AudioCodec() != -1 && !channel.GetAudioRtpMap().empty();
}

std::vector<std::string> DescribeLiveStream(const TRtspServletLinks& links,
                                            const TLiveChannel& channel,
                                            const std::string& localAddress) {
  TSdpStream stream;
  stream.videoCodec = channel.VideoCodec();
  stream.fmtpLine = WaitForFmtpLine(links, channel);
  if (DescribesAudio(links, channel)) stream.audioRtpMap = channel.GetAudioRtpMap();
  stream.localAddress = localAddress;
  const platform::TClock& clock = links.clock ? *links.clock : platform::SystemClock();
  stream.originMicroseconds = platform::LocalMillisecondsSince1970(clock.LocalNow()) * 1000;
  return BuildSdpLines(stream);
}
