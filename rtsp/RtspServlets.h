// The handlers of the five RTSP methods the server answers, and the small helpers that read the
// Transport, Session and URI values clients send them. Handlers keep no state between requests:
// sessions live in the session manager, codec knowledge in the live channel.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "RtspServlet.h"
#include "platform/Clock.h"
#include "stream/BaseSession.h"

class TLiveChannel;
class TLiveSessionManager;
class TRtspContext;

// What the handlers use from the rest of the process.
struct TRtspServletLinks {
  // The session manager; null means no session can be found or made.
  std::function<std::shared_ptr<TLiveSessionManager>()> sessions;
  // The live channel; null makes DESCRIBE answer 453.
  std::function<TLiveChannel*()> channel;
  // The desktop encoder's "a=fmtp:96 ..." line, empty until its first H.264 key frame.
  std::function<std::string()> fmtpLine;
  bool udpEnabled = false;    // [RTSP] EnableUDP: RTP over UDP accepted besides interleaved
  bool audioEnabled = false;  // [RTSP] EnableAudio: DESCRIBE announces audio the channel carries
  const platform::TClock* clock = nullptr;    // null: the system clock
  std::function<void(std::string_view)> log;  // empty: LogMessage
  // Starts an idle pipeline capturing for a while, so that DESCRIBE can wait for the parameter sets
  // even before any session exists. Empty: DESCRIBE waits only while sessions keep it encoding.
  std::function<void()> startCapture;
  // How long DESCRIBE waits at most for the fmtp line of an H.264 stream that has not reached its
  // first key frame yet; and how it waits (empty: the calling thread sleeps).
  std::chrono::milliseconds fmtpWait{2000};
  std::chrono::milliseconds fmtpPollStep{50};
  std::function<void(std::chrono::milliseconds)> sleep;
};


// One handler of each method, in the order OPTIONS, DESCRIBE, SETUP, PLAY, TEARDOWN.
std::vector<std::unique_ptr<TRtspServlet>> MakeRtspServlets(const TRtspServletLinks& links);

// What the handlers share: the links, the log and finding the session a request names.
class TLinkedRtspServlet : public TRtspServlet {
 public:
  explicit TLinkedRtspServlet(TRtspServletLinks links);

 protected:
  void Log(std::string_view line) const;
  std::shared_ptr<TLiveSessionManager> SessionManager() const;
  // The session the request's Session header names, if this client may use it (the service has
  // usually found it already); a request naming it counts as a sign of life, as a datagram would.
  std::shared_ptr<TBaseSession> NamedSession(const TRtspContext& context) const;
  static bool NamesSession(const TRtspContext& context);
  // Whether DESCRIBE announces the audio track the channel carries.
  bool DescribesAudio(const TLiveChannel& channel) const;

  const TRtspServletLinks links_;
};

class TRTSPServlet_Options final : public TLinkedRtspServlet {
 public:
  using TLinkedRtspServlet::TLinkedRtspServlet;
  std::string GetName() const override { return "OPTIONS"; }
  void Execute(TRtspContext& context) override;
};

class TRTSPServlet_DESCRIBE final : public TLinkedRtspServlet {
 public:
  using TLinkedRtspServlet::TLinkedRtspServlet;
  std::string GetName() const override { return "DESCRIBE"; }
  void Execute(TRtspContext& context) override;
};

class TRTSPServlet_SETUP final : public TLinkedRtspServlet {
 public:
  using TLinkedRtspServlet::TLinkedRtspServlet;
  std::string GetName() const override { return "SETUP"; }
  void Execute(TRtspContext& context) override;
};

class TRTSPServlet_PLAY final : public TLinkedRtspServlet {
 public:
  using TLinkedRtspServlet::TLinkedRtspServlet;
  std::string GetName() const override { return "PLAY"; }
  void Execute(TRtspContext& context) override;
};

class TRTSPServlet_TEARDOWN final : public TLinkedRtspServlet {
 public:
  using TLinkedRtspServlet::TLinkedRtspServlet;
  std::string GetName() const override { return "TEARDOWN"; }
  void Execute(TRtspContext& context) override;
};

// The transport a SETUP settled on.
struct TTransportChoice {
  std::string protocol;       // "RTP/AVP/TCP", "RTP/AVP" or "RTP/AVP/UDP"
  std::string clientElement;  // UDP: the client's "client_port=..." element as it sent it
  int32_t clientPort = -1;    // UDP: the client's RTP port, 1 to 65535
  bool Interleaved() const { return protocol == "RTP/AVP/TCP"; }
};

// Picks the transport of a Transport header value. Interleaved wins whenever the value mentions
// "RTP/AVP/TCP"; otherwise, with udpEnabled, the first of the ","-separated alternatives that is
// plain RTP/AVP or RTP/AVP/UDP and names a usable client_port. Nothing when none is acceptable.
std::optional<TTransportChoice> ChooseTransport(std::string_view value, bool udpEnabled);

// The first separator-delimited element of value (trimmed of spaces and control characters) that
// starts with key (case-sensitive), key included; empty when there is none.
std::string GetTransportParam(std::string_view value, char separator, std::string_view key);
// The first port of "client_port=5000-5001" (5000); -1 when it is not a decimal number.
int32_t ParseClientPort(std::string_view element);
// The lower-cased URI from the "track" after its first "/track" on ("track2"); empty when none.
std::string GetTrackName(std::string_view uri);
bool IsAudioTrack(std::string_view trackName);
// The track a SETUP URI names: its last path segment, lower-cased, when it starts with "track"
// ("track1", "track2", "track7"); empty for the stream's own URI.
std::string RequestedTrack(std::string_view uri);
// The session name of a Session header value: trimmed, cut before any ";" parameters.
std::string SessionNameOf(std::string_view headerValue);
// The Session header value of an answer: the name, and for sessions that expire when silent the
// time-out, since clients assume 60 s when they are not told.
std::string SessionHeaderValue(const TBaseSession& session);
