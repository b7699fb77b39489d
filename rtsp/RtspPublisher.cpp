#include "RtspPublisher.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "LiveDescription.h"
#include "RtspClientConnection.h"
#include "RtspServlets.h"
#include "log/ServiceLog.h"
#include "platform/TcpConnector.h"
#include "stream/LiveChannel.h"
#include "stream/LiveSession.h"
#include "stream/TcpRtpConnection.h"

namespace {

constexpr std::chrono::milliseconds kTeardownLimit{2000};
// Servers that say nothing of a time-out are assumed to keep a silent session for a minute.
constexpr int32_t kDefaultSessionTimeoutSeconds = 60;

std::string Join(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

std::string TrackUri(const TRtspUrl& url, std::string_view track) {
  std::string uri = url.RequestUri();
  if (!uri.ends_with('/')) uri += '/';
  return uri + std::string(track);
}

// The interleaved channel a SETUP answer names ("interleaved=0-1" -> 0), if any. The pair has the
// form of "client_port=5000-5001", so the same reader takes its first number.
std::optional<int> AnsweredChannel(std::string_view transport) {
  const std::string element = GetTransportParam(transport, ';', "interleaved=");
  if (element.empty()) return std::nullopt;
  return ParseClientPort(element);
}

}  // namespace

// How one connection went.
struct TRtspPublisher::TAttempt {
  bool published = false;  // RECORD was answered 200
  int32_t status = 0;      // a refusal: the status of the answer that refused
  std::string reason;      // why it ended, unless it was stopped
};

TRtspPublisher::TRtspPublisher(TRtspPublisherLinks links) : links_(std::move(links)) {
  state_.target = links_.url.Display();
}

TRtspPublisher::~TRtspPublisher() {
  Stop();
}

void TRtspPublisher::Start() {
  std::lock_guard<std::mutex> guard(lock_);
  if (thread_.joinable() || stopping_) return;
  thread_ = std::thread([this] { Run(); });
}

void TRtspPublisher::Stop() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopping_ = true;
    if (client_ != nullptr) client_->Interrupt();
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool TRtspPublisher::Stopping() const {
  std::lock_guard<std::mutex> guard(lock_);
  return stopping_;
}

TPublishState TRtspPublisher::State() const {
  std::lock_guard<std::mutex> guard(lock_);
  return state_;
}

void TRtspPublisher::SetState(TPublishState state) {
  state.target = links_.url.Display();
  {
    std::lock_guard<std::mutex> guard(lock_);
    state_ = state;
  }
  if (links_.stateChanged) links_.stateChanged(state);
}

void TRtspPublisher::Log(std::string_view line) const {
  if (links_.stream.log) {
    links_.stream.log(line);
  } else {
    LogMessage(line);
  }
}

void TRtspPublisher::Run() {
  const std::string target = links_.url.Display();
  Log("publish: connecting to " + target);
  std::chrono::milliseconds pause = links_.firstRetry;
  std::string lastFailure;
  while (!Stopping()) {
    TAttempt attempt;
    PublishOnce(attempt);
    if (Stopping()) break;
    if (attempt.published) {
      pause = links_.firstRetry;
      lastFailure.clear();
    }
    TPublishState state;
    state.phase = attempt.status != 0 ? TPublishPhase::Refused : TPublishPhase::Retrying;
    state.status = attempt.status;
    state.reason = attempt.reason;
    state.retryAt = std::chrono::steady_clock::now() + pause;
    SetState(state);
    // The same failure over and over is one line, not one a retry.
    if (attempt.reason != lastFailure) {
      Log("publish: " + target + ": " + attempt.reason + ", retrying in " +
          std::to_string(std::chrono::ceil<std::chrono::seconds>(pause).count()) + " s");
      lastFailure = attempt.reason;
    }
    std::unique_lock<std::mutex> guard(lock_);
    wake_.wait_for(guard, pause, [this] { return stopping_; });
    pause = std::min(pause * 2, links_.longestRetry);
  }
  Log("publish: stopped");
}

void TRtspPublisher::PublishOnce(TAttempt& attempt) {
  std::string error;
  std::unique_ptr<platform::TTcpConnection> connection =
      links_.connect
          ? links_.connect(links_.url, error)
          : platform::ConnectTcp(links_.url.host, links_.url.port, links_.connectLimit, error);
  if (!connection) {
    attempt.reason = "cannot connect: " + error;
    return;
  }
  std::optional<TRtspClientAuth> auth;
  if (!links_.url.user.empty()) auth.emplace(links_.url.user, links_.url.password);
  TRtspClientConnection client(std::move(connection), std::move(auth), links_.userAgent);
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (stopping_) return;
    client_ = &client;
  }
  Record(client, attempt);
  std::lock_guard<std::mutex> guard(lock_);
  client_ = nullptr;
}

void TRtspPublisher::Record(TRtspClientConnection& client, TAttempt& attempt) {
  const TRtspUrl& url = links_.url;
  std::string sessionName;
  int32_t sessionTimeout = kDefaultSessionTimeoutSeconds;
  // One answer of the server, checked; false (with the attempt saying why) when there is none or
  // it is not a success.
  const auto ask = [&](TRtspClientRequest request) -> std::optional<TRtspReply> {
    if (!sessionName.empty()) request.headers.emplace_back("Session", sessionName);
    TRtspExchangeEnd end = TRtspExchangeEnd::Answered;
    std::optional<TRtspReply> reply = client.Exchange(request, links_.answerLimit, end);
    if (!reply) {
      attempt.reason = end == TRtspExchangeEnd::TimedOut
                           ? "no answer to " + request.method + " within " +
                                 std::to_string(links_.answerLimit.count() / 1000) + " s"
                           : "connection lost during " + request.method + ": " + client.EndReason();
      return std::nullopt;
    }
    if (reply->StatusCode() < 200 || reply->StatusCode() > 299) {
      attempt.status = reply->StatusCode();
      attempt.reason = request.method + " refused: " + std::to_string(reply->StatusCode()) + " " +
                       reply->Reason();
      return std::nullopt;
    }
    if (const std::string name = reply->SessionName(); !name.empty()) sessionName = name;
    if (const auto timeout = reply->SessionTimeoutSeconds()) sessionTimeout = *timeout;
    return reply;
  };

  SetState({});
  if (!ask({"OPTIONS", url.RequestUri(), {}, {}, {}})) return;
  TLiveChannel* const channel = links_.stream.channel ? links_.stream.channel() : nullptr;
  const std::shared_ptr<TLiveSessionManager> manager =
      links_.stream.sessions ? links_.stream.sessions() : nullptr;
  if (channel == nullptr || !manager) {
    attempt.reason = "the live stream is not running";
    return;
  }
  const bool audio = DescribesAudio(links_.stream, *channel);
  const std::string description =
      Join(DescribeLiveStream(links_.stream, *channel, client.Connection().Local().address));
  if (!ask({"ANNOUNCE", url.RequestUri(), {}, "application/sdp", description})) return;

  TTcpRtpConnection rtp(client.Connection());
  std::shared_ptr<TBaseSession> session;
  // The senders write on the connection: they go before it does, whatever way this ends.
  struct TSessionEnd {
    TLiveSessionManager& manager;
    uint64_t connectionId;
    ~TSessionEnd() { manager.RemoveSessionsBoundTo(connectionId); }
  } sessionEnd{*manager, rtp.Id()};
  for (const bool audioTrack : {false, true}) {
    if (audioTrack && !audio) break;
    const int channelNumber =
        audioTrack ? TFrameSender::kAudioChannel : TFrameSender::kVideoChannel;
    const std::string transport =
        "RTP/AVP/TCP;unicast;interleaved=" + std::to_string(channelNumber) + "-" +
        std::to_string(channelNumber + 1) + ";mode=record";
    const std::optional<TRtspReply> reply = ask({"SETUP",
                                                 TrackUri(url, audioTrack ? "track2" : "track1"),
                                                 {{"Transport", transport}},
                                                 {},
                                                 {}});
    if (!reply) break;
    // The senders write on fixed channels; a server that moves them would read the wrong track.
    if (const auto answered = AnsweredChannel(reply->GetHeader("Transport"));
        answered && *answered != channelNumber) {
      attempt.reason =
          "the server moved a track to interleaved channel " + std::to_string(*answered);
      break;
    }
    if (!session) {
      session = manager->AddSession({client.Connection().Peer().address, rtp.Id(), url.user});
      if (!session) {
        attempt.reason = "no room for another session";
        break;
      }
      session->SetStreamUri(url.RequestUri());
      session->SetConnection(&rtp);
    }
    if (audioTrack) session->EnableAudioTrack();
  }
  if (session && attempt.reason.empty() &&
      ask({"RECORD", url.RequestUri(), {{"Range", "npt=0.000-"}}, {}, {}})) {
    if (session->StartStreaming()) {
      attempt.published = true;
      TPublishState state;
      state.phase = TPublishPhase::Publishing;
      SetState(state);
      Log("publish: publishing to " + url.Display());
      // Half the server's time-out between keep-alives, so one lost still leaves time for the next.
      const std::chrono::milliseconds keepAlive{std::max(sessionTimeout, 2) * 500};
      while (client.WaitWhileOpen(keepAlive) && !client.Interrupted()) {
        client.Send({"OPTIONS", url.RequestUri(), {{"Session", sessionName}}, {}, {}});
      }
      if (!client.IsOpen()) attempt.reason = "connection lost: " + client.EndReason();
    } else {
      attempt.reason = "the stream did not start";
    }
  }
  if (!client.IsOpen() || !Stopping()) return;
  // Stopped: the senders say goodbye first, then the publication ends.
  if (session) manager->RemoveSessionsBoundTo(rtp.Id());
  if (!sessionName.empty()) {
    TRtspExchangeEnd end = TRtspExchangeEnd::Answered;
    client.Exchange({"TEARDOWN", url.RequestUri(), {{"Session", sessionName}}, {}, {}},
                    kTeardownLimit, end, false);
  }
}
