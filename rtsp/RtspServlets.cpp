#include "RtspServlets.h"

#include <algorithm>
#include <thread>
#include <utility>

#include "LiveDescription.h"
#include "RtspMessageText.h"
#include "RtspRequestContext.h"
#include "RtspStatus.h"
#include "Sdp.h"
#include "config/Settings.h"
#include "log/LogText.h"
#include "log/ServiceLog.h"
#include "stream/LiveChannel.h"
#include "stream/LiveSession.h"

namespace {

constexpr std::string_view kSession = "Session";
constexpr std::string_view kTransport = "Transport";
constexpr std::string_view kInterleavedSpec = "RTP/AVP/TCP";
constexpr int32_t kInternalServerError = 500;

bool IsSpaceOrControl(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte <= 0x20 || byte == 0x7F;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsSpaceOrControl(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsSpaceOrControl(text.back())) text.remove_suffix(1);
  return text;
}

bool IsUdpProtocol(std::string_view protocol) {
  return protocol == "RTP/AVP" || protocol == "RTP/AVP/UDP";
}

}  // namespace

std::string GetTransportParam(std::string_view value, char separator, std::string_view key) {
  std::string text(1, separator);
  text += Trim(value);
  text += separator;
  std::string needle(1, separator);
  needle += key;
  const std::size_t found = text.find(needle);
  if (found == std::string::npos) return {};
  const std::size_t start = found + 1;
  return text.substr(start, text.find(separator, start) - start);
}

int32_t ParseClientPort(std::string_view element) {
  if (const std::size_t equals = element.find('='); equals != std::string_view::npos) {
    element.remove_prefix(equals + 1);
  }
  if (const std::size_t dash = element.find('-'); dash != std::string_view::npos) {
    element = element.substr(0, dash);
  }
  return ParseRtspInteger(element).value_or(-1);
}

std::string GetTrackName(std::string_view uri) {
  std::string lower(uri);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  });
  const std::size_t found = lower.find("/track");
  return found == std::string::npos ? std::string() : lower.substr(found + 1);
}

bool IsAudioTrack(std::string_view trackName) {
  return trackName == "track2";
}

std::string RequestedTrack(std::string_view uri) {
  while (!uri.empty() && uri.back() == '/') uri.remove_suffix(1);
  const std::size_t slash = uri.rfind('/');
  std::string last(slash == std::string_view::npos ? std::string_view() : uri.substr(slash + 1));
  std::transform(last.begin(), last.end(), last.begin(), [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  });
  return last.starts_with("track") ? last : std::string();
}

// Clients match each url against the track's control URL (the DESCRIBE URI, which is the
// Content-Base, plus the track name). A url naming no track of the session leaves the client
// without the first sequence number, and GStreamer then holds the first picture back for its
// whole jitter-buffer latency (2 s by default) before it shows anything.
std::string RtpInfoValue(std::string_view playUri, bool withAudio) {
  std::string base(playUri);
  while (!base.empty() && base.back() == '/') base.pop_back();
  // Some clients PLAY a track's own URI rather than the aggregate one.
  const std::string track = GetTrackName(base);
  if (track == "track1" || track == "track2") base.resize(base.size() - track.size() - 1);
  std::string value = "url=" + base + "/track1;seq=0";
  if (withAudio) value += ",url=" + base + "/track2;seq=0";
  return value;
}

std::string SessionNameOf(std::string_view headerValue) {
  const std::string_view trimmed = Trim(headerValue);
  return std::string(Trim(trimmed.substr(0, trimmed.find(';'))));
}

std::string SessionHeaderValue(const TBaseSession& session) {
  if (session.Connection() != nullptr) return session.SessionName();
  return session.SessionName() +
         ";timeout=" + std::to_string(TBaseSession::kSessionTimeoutMs / 1000);
}

std::optional<TTransportChoice> ChooseTransport(std::string_view value, bool udpEnabled) {
  // A client offering several transports gets the interleaved one: it passes any firewall the
  // RTSP connection passed.
  if (value.find(kInterleavedSpec) != std::string_view::npos) {
    return TTransportChoice{std::string(kInterleavedSpec), {}, -1};
  }
  if (!udpEnabled) return std::nullopt;
  std::size_t start = 0;
  while (start <= value.size()) {
    const std::size_t comma = std::min(value.find(',', start), value.size());
    const std::string_view alternative = value.substr(start, comma - start);
    start = comma + 1;
    std::string protocol = GetTransportParam(alternative, ';', "RTP/AVP");
    if (!IsUdpProtocol(protocol)) continue;
    std::string element = GetTransportParam(alternative, ';', "client_port=");
    const int32_t port = ParseClientPort(element);
    // Without a port of its own the client would be sent datagrams it never listens for.
    if (port < 1 || port > 65535) continue;
    return TTransportChoice{std::move(protocol), std::move(element), port};
  }
  return std::nullopt;
}

std::vector<std::unique_ptr<TRtspServlet>> MakeRtspServlets(const TRtspServletLinks& links) {
  std::vector<std::unique_ptr<TRtspServlet>> servlets;
  servlets.push_back(std::make_unique<TRTSPServlet_Options>(links));
  servlets.push_back(std::make_unique<TRTSPServlet_DESCRIBE>(links));
  servlets.push_back(std::make_unique<TRTSPServlet_SETUP>(links));
  servlets.push_back(std::make_unique<TRTSPServlet_PLAY>(links));
  servlets.push_back(std::make_unique<TRTSPServlet_TEARDOWN>(links));
  return servlets;
}

TLinkedRtspServlet::TLinkedRtspServlet(TRtspServletLinks links) : links_(std::move(links)) {}

void TLinkedRtspServlet::Log(std::string_view line) const {
  if (links_.log) {
    links_.log(line);
  } else {
    LogMessage(line);
  }
}

std::shared_ptr<TLiveSessionManager> TLinkedRtspServlet::SessionManager() const {
  return links_.sessions ? links_.sessions() : nullptr;
}

std::shared_ptr<TBaseSession> TLinkedRtspServlet::NamedSession(const TRtspContext& context) const {
  if (context.Session()) return context.Session();
  const std::string name = SessionNameOf(context.Request().GetHeader(kSession));
  const std::shared_ptr<TLiveSessionManager> manager = name.empty() ? nullptr : SessionManager();
  if (!manager) return nullptr;
  std::shared_ptr<TBaseSession> session = manager->ClaimSession(name, context.Requester());
  if (session) session->Touch();
  return session;
}

bool TLinkedRtspServlet::NamesSession(const TRtspContext& context) {
  return !SessionNameOf(context.Request().GetHeader(kSession)).empty();
}

bool TLinkedRtspServlet::DescribesAudio(const TLiveChannel& channel) const {
  return ::DescribesAudio(links_, channel);
}

void TRTSPServlet_Options::Execute(TRtspContext& context) {
  NamedSession(context);
  TRtspResponse& response = context.Response();
  response.SetHeader("Server", "Pelorix Version 1.0");
  response.SetHeader("Public", "OPTIONS, DESCRIBE, PLAY, SETUP, TEARDOWN");
  context.SendResponse(kRtspOk);
}

void TRTSPServlet_DESCRIBE::Execute(TRtspContext& context) {
  NamedSession(context);
  TLiveChannel* channel = links_.channel ? links_.channel() : nullptr;
  if (channel == nullptr) {
    Log("create channel connect failed!");
    context.SendResponse(kRtspNotEnoughBandwidth);
    return;
  }
  TRtspResponse& response = context.Response();
  response.SetHeader("Content-Base", context.Request().Uri() + "/");
  response.SetContentType("application/sdp");
  for (std::string& line : DescribeLiveStream(links_, *channel, context.LocalAddress())) {
    response.AddContentLine(std::move(line));
  }
  context.SendResponse(kRtspOk);
}

void TRTSPServlet_SETUP::Execute(TRtspContext& context) {
  const std::string& uri = context.Request().Uri();
  Log("uri=" + LogValue(uri));
  // Naming a session adds a track to it; one that is gone or someone else's is not replaced by a
  // new one behind the client's back.
  const std::shared_ptr<TBaseSession> named = NamedSession(context);
  if (!named && NamesSession(context)) {
    context.SendResponse(kRtspSessionNotFound);
    return;
  }
  const std::string track = RequestedTrack(uri);
  const bool audio = track == "track2";
  TLiveChannel* const channel = links_.channel ? links_.channel() : nullptr;
  if ((!track.empty() && track != "track1" && !audio) ||
      (audio && (channel == nullptr || !DescribesAudio(*channel)))) {
    Log("no such track: " + LogValue(track));
    context.SendResponse(kRtspNotFound);
    return;
  }
  const std::string transport = context.Request().GetHeader(kTransport);
  std::optional<TTransportChoice> choice = ChooseTransport(transport, links_.udpEnabled);
  // Interleaved RTP needs a connection to travel on.
  if (choice && choice->Interleaved() && context.Connection() == nullptr) choice.reset();
  if (!choice) {
    Log("transport refused: " + LogValue(Trim(transport)));
    context.SendResponse(kRtspUnsupportedTransport);
    return;
  }
  Log("rtpavp=" + choice->protocol);

  std::shared_ptr<TBaseSession> session = named;
  if (!session) {
    const std::shared_ptr<TLiveSessionManager> manager = SessionManager();
    if (!manager) {
      Log("create session failed!");
      context.SendResponse(kRtspNotEnoughBandwidth);
      return;
    }
    session = manager->AddSession(context.Requester());
    if (!session) {
      context.SendResponse(kRtspNotEnoughBandwidth);
      return;
    }
  }
  Log("session=" + session->SessionName());
  if (audio) session->EnableAudioTrack();
  if (choice->Interleaved()) session->SetConnection(context.Connection());
  session->SetStreamUri(uri);

  TRtspResponse& response = context.Response();
  response.SetHeader(kSession, SessionHeaderValue(*session));
  const std::string route =
      ";destination=" + context.PeerAddress() + ";source=" + context.LocalAddress();
  if (choice->Interleaved()) {
    // Video always travels on channels 0-1 and audio on 2-3, whatever the client asked for.
    response.SetHeader(kTransport, choice->protocol + ";unicast" + route +
                                       ";interleaved=" + (audio ? "2-3" : "0-1"));
  } else {
    Log("client port = " + choice->clientElement);
    session->SetClientPort(choice->clientPort);
    Log("session port = " + std::to_string(session->ClientPort()));
    const int32_t serverPort = session->GetServerRtpPort();
    // The client's own destination is not honoured: RTP goes only to the RTSP peer, so no client
    // can turn the server against a third host.
    response.SetHeader(kTransport, choice->protocol + ";unicast;" + choice->clientElement + route +
                                       ";server_port=" + std::to_string(serverPort) + "-" +
                                       std::to_string(serverPort + 1));
  }
  context.SendResponse(kRtspOk);
}

void TRTSPServlet_PLAY::Execute(TRtspContext& context) {
  const std::shared_ptr<TBaseSession> session = NamedSession(context);
  if (!session) {
    context.SendResponse(kRtspSessionNotFound);
    return;
  }
  if (!session->StartStreaming()) {
    Log("start streaming failed, session=" + session->SessionName());
    context.SendResponse(kInternalServerError);
    return;
  }
  TRtspResponse& response = context.Response();
  response.SetHeader(kSession, SessionHeaderValue(*session));
  response.SetHeader("Range", "npt=0.000-");
  response.SetHeader("RTP-Info", RtpInfoValue(context.Request().Uri(), session->HasAudioTrack()));
  context.SendResponse(kRtspOk);
  Log("send ok response");
}

void TRTSPServlet_TEARDOWN::Execute(TRtspContext& context) {
  const std::string name = SessionNameOf(context.Request().GetHeader(kSession));
  Log("do teardown, session=" + LogValue(name));
  const std::shared_ptr<TLiveSessionManager> manager = SessionManager();
  const std::shared_ptr<TBaseSession> session = NamedSession(context);
  if (!manager || !session) {
    context.SendResponse(kRtspSessionNotFound);
    return;
  }
  session->StopStreaming();
  manager->RemoveSession(session);
  context.SendResponse(kRtspOk);
  Log("do teardown end, session=" + LogValue(name));
}
