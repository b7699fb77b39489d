// The session description of the live stream: what DESCRIBE answers a player with and what
// ANNOUNCE tells a media server the stream is, so that both always say the same.
#pragma once

#include <string>
#include <vector>

#include "RtspServlets.h"

class TLiveChannel;

// Whether the description announces the audio the channel carries ([RTSP] EnableAudio and a codec
// with a name).
bool DescribesAudio(const TRtspServletLinks& links, const TLiveChannel& channel);

// The description's lines for a peer that reached this machine at localAddress. An H.264 stream
// that has not reached its first key frame yet is waited for as the links say, so that the
// description can carry the parameter sets.
std::vector<std::string> DescribeLiveStream(const TRtspServletLinks& links,
                                            const TLiveChannel& channel,
                                            const std::string& localAddress);
