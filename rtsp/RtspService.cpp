#include "RtspService.h"

#include <algorithm>
#include <cstddef>
#include <exception>
#include <optional>
#include <stdexcept>
#include <utility>

#include "RtspHeaderList.h"
#include "RtspMessageText.h"
#include "RtspRequestContext.h"
#include "RtspRequestHead.h"
#include "RtspServlets.h"
#include "RtspStatus.h"
#include "log/LogSourceScope.h"
#include "log/LogText.h"
#include "log/ServiceLog.h"
#include "stream/TcpRtpConnection.h"

namespace {

constexpr int32_t kRtspInternalServerError = 500;
constexpr int32_t kRtspParameterNotUnderstood = 451;
constexpr int32_t kRtspRequestUriTooLarge = 414;

// A request the service refuses to read further; handled like a failed read.
class TRequestRefused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Answers a request whose head is not read to its end, then gives up on the connection: the
// client learns why rather than seeing it drop. The CSeq is echoed when the part read holds one.
[[noreturn]] void RefuseUnreadHead(platform::TTcpConnection& connection,
                                   const platform::TClock& clock, int32_t status,
                                   std::string_view headSoFar, const std::string& reason) {
  TRtspContext context(
      {}, [&connection](std::string_view bytes) { return connection.WriteAll(bytes); }, clock);
  context.ParseRequest(headSoFar);
  try {
    context.SendResponse(status);
  } catch (const TRtspWriteError&) {
    // The client is gone or does not read; why it was refused is what the log must tell.
  }
  throw TRequestRefused(reason);
}

// Stray bytes in front of a TEARDOWN (interleaved data a client cut short) spoil its request
// line: the bytes are glued to the method, or make the line unreadable as a whole.
bool SpoiltTeardown(std::string_view head, const TRtspParseError& error) {
  constexpr std::string_view kTeardown = "TEARDOWN";
  const std::string method = GetToken(head.substr(0, head.find_first_of("\r\n")), ' ', 0);
  return (method.size() > kTeardown.size() && method.ends_with(kTeardown)) ||
         error.statusCode == kRtspVersionNotSupported;
}

std::string Trimmed(std::string_view text) {
  const auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return std::string(text);
}

// Interleaved RTP/RTCP: "$", the channel, the length in network byte order, the data. Clients
// send their receiver reports this way during PLAY; nothing here needs them.
void SkipInterleavedFrame(platform::TTcpConnection& connection) {
  const std::vector<std::uint8_t> header = connection.ReadBytes(3);
  std::size_t left = static_cast<std::size_t>(header[1]) << 8 | header[2];
  while (left > 0) {
    const std::size_t chunk = std::min<std::size_t>(left, 4096);
    connection.ReadBytes(chunk);
    left -= chunk;
  }
}

// A negative Content-Length announces no body. The parser refuses it; the first such field (the
// only one lookups see) is rewritten to 0 so that the request is served without a body.
void NeutraliseNegativeContentLength(std::string& head) {
  std::vector<std::string> lines = SplitRtspLines(head);
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::size_t colon = lines[i].find(':');
    if (colon == std::string::npos) continue;
    if (!EqualsIgnoringAsciiCase(std::string_view(lines[i]).substr(0, colon), kRtspContentLength))
      continue;
    const auto length = ParseRtspInteger(std::string_view(lines[i]).substr(colon + 1));
    if (!length || *length >= 0) return;
    lines[i] = std::string(kRtspContentLength) + ": 0";
    head.clear();
    for (const std::string& line : lines) head.append(line).append("\r\n");
    head.append("\r\n");
    return;
  }
}

bool IsKeepAlive(std::string_view method) {
  return EqualsIgnoringAsciiCase(method, "GET_PARAMETER") ||
         EqualsIgnoringAsciiCase(method, "SET_PARAMETER");
}

bool HasBody(const TRtspRequest& request) {
  return std::any_of(request.Content().begin(), request.Content().end(),
                     [](const std::string& line) { return !Trimmed(line).empty(); });
}

// Clients keep their session alive with an empty GET_PARAMETER or SET_PARAMETER even when the
// server's Public list omits them (recorders do), and some give up on an error answer. This
// server has no parameters: a query gets an empty 200, a parameter to set is not understood.
void AnswerKeepAlive(TRtspContext& context) {
  const TRtspRequest& request = context.Request();
  if (context.Session()) context.Response().SetHeader("Session", SessionHeaderValue(*context.Session()));
  const bool setsParameters = EqualsIgnoringAsciiCase(request.Method(), "SET_PARAMETER");
  context.SendResponse(setsParameters && HasBody(request) ? kRtspParameterNotUnderstood : kRtspOk);
}

}  // namespace

TRTSPService::TRTSPService(std::vector<std::unique_ptr<TRtspServlet>> servlets,
                           TRtspServiceLinks links)
    : links_(std::move(links)),
      clock_(links_.clock ? *links_.clock : platform::SystemClock()),
      servlets_(std::move(servlets)),
      authenticator_(clock_, [this](std::string_view line) { Log(line); }),
      listenAddress_(links_.listenAddress),
      connections_([this](uint64_t id) { return HasSessions(id); },
                   [this](std::string_view line) { Log(line); }, links_.idleLimit,
                   links_.idleCheckInterval),
      listener_(platform::TTcpConnectionHandlers{
                    [this](platform::TTcpConnection& c) { ClientConnected(c); },
                    [this](platform::TTcpConnection& c) { HandleRequest(c); },
                    [this](platform::TTcpConnection& c) { ClientDisconnected(c); },
                    [this](platform::TTcpConnection& c) { ConnectionRefused(c); },
                    [this] { return connections_.MakeRoom(TRtspConnections::TClock::now()); }},
                links_.tcpLimits) {
  std::erase(servlets_, nullptr);
}

TRTSPService::~TRTSPService() {
  Log("RTSPService destroy--->");
  try {
    stopping_.store(true);
    // Every connection thread ends here, each removing its own session, before the sessions
    // and the handlers it might still be using go away.
    StopListener();
    if (links_.freeSessions) links_.freeSessions();
    servlets_.clear();
  } catch (...) {
    // Nothing left to do about it: the service is going either way.
  }
  Log("RTSPService destroy<---");
}

void TRTSPService::SetPort(int32_t port) {
  const std::lock_guard guard(portLock_);
  port_ = port;
}

int32_t TRTSPService::Port() const {
  const std::lock_guard guard(portLock_);
  return port_;
}

void TRTSPService::SetListenAddress(std::string address) {
  const std::lock_guard guard(portLock_);
  listenAddress_ = address.empty() ? "0.0.0.0" : std::move(address);
}

std::string TRTSPService::ListenAddress() const {
  const std::lock_guard guard(portLock_);
  return listenAddress_;
}

void TRTSPService::SetActive(bool active) {
  try {
    const int32_t port = Port();
    if (active) {
      if (!listener_.IsListening()) {
        if (port < 1 || port > 65535) {
          Log("open service failed, E=port " + std::to_string(port) + " is not in 1..65535");
          return;
        }
        if (!listener_.Start(static_cast<std::uint16_t>(port), ListenAddress())) {
          Log("open service failed, E=" + listener_.LastError());
          return;
        }
      }
      Log("listen " + std::to_string(listener_.Port()));
    } else {
      const int32_t was = listener_.IsListening() ? listener_.Port() : port;
      StopListener();
      Log("stop " + std::to_string(was));
    }
  } catch (const std::exception& error) {
    Log(std::string("open service failed, E=") + error.what());
  }
}

void TRTSPService::StopListener() {
  closingAll_.store(true);
  listener_.Stop();
  closingAll_.store(false);
}

void TRTSPService::ConnectionRefused(const platform::TTcpConnection& connection) {
  // Real time, whatever clock the answers are dated by: a flood comes in real time.
  const std::size_t refused = refusals_.Count(platform::SystemClock().TickCount());
  if (refused == 0) return;
  const platform::TTcpEndpoint& peer = connection.Peer();
  Log("too many connections, refused " + peer.address + ":" + std::to_string(peer.port) + " (" +
      std::to_string(refused) + " refused since the last report, limit " +
      std::to_string(links_.tcpLimits.maxConnections) + ")");
}

void TRTSPService::ClientConnected(platform::TTcpConnection& connection) {
  const platform::TTcpEndpoint& peer = connection.Peer();
  // What a client makes the server log counts against its address: a flood from one address is
  // summed up instead of pushing everyone's history out of the log.
  const TLogSourceScope source(peer.address);
  Log("connected from " + peer.address + ":" + std::to_string(peer.port));
  if (links_.firstRequestLimit.count() > 0) {
    connection.SetReadDeadline(std::chrono::steady_clock::now() + links_.firstRequestLimit);
  }
  connections_.Add(connection);
}

void TRTSPService::HandleRequest(platform::TTcpConnection& connection) {
  if (stopping_.load()) {
    // Nothing is read any more; closing keeps the listener from calling again at once.
    connection.Close();
    return;
  }
  const TLogSourceScope source(connection.Peer().address);
  try {
    std::string head;
    if (!ReadHead(connection, head)) return;
    // Busy until answered: the idle check and the cap leave a connection alone mid-request.
    connections_.SetBusy(connection, true);
    struct TDone {
      TRtspConnections& connections;
      platform::TTcpConnection& connection;
      ~TDone() { connections.SetBusy(connection, false); }
    } done{connections_, connection};
    TRtspConnectionInfo info;
    info.connection = connections_.AdapterOf(connection);
    info.localAddress = connection.Local().address;
    info.peerAddress = connection.Peer().address;
    info.peerPort = connection.Peer().port;
    TRtspContext context(
        std::move(info),
        [&connection](std::string_view bytes) { return connection.WriteAll(bytes); }, clock_);
    const bool complete = ParseAndReadBody(connection, context, head);
    // A client that got as far as one whole request is a real one; from here on it may idle.
    connection.SetReadDeadline(std::nullopt);
    if (complete) Dispatch(context);
  } catch (const std::exception& error) {
    EndAfterFailure(connection, error.what());
  } catch (...) {
    EndAfterFailure(connection, "unknown error");
  }
}

void TRTSPService::EndAfterFailure(platform::TTcpConnection& connection, std::string_view error) {
  // A connection this side closed (deactivation, destruction) did not fail.
  if (!stopping_.load() && !closingAll_.load())
    Log("service excute failed, e=" + std::string(error));
  try {
    connection.DiscardInput();
    connection.Close();
  } catch (...) {
  }
}

bool TRTSPService::ReadHead(platform::TTcpConnection& connection, std::string& head) const {
  const std::uint8_t lead = connection.ReadBytes(1).front();
  if (lead == '$') {
    SkipInterleavedFrame(connection);
    return false;
  }
  // A line end where a request line is expected is skipped: answering it would make the client
  // take that answer for the answer to its next request.
  if (lead == '\r' || lead == '\n') return false;

  // Over-long lines are answered before the connection closes; the connection's own ReadLine
  // would close it first.
  const std::size_t limit = links_.tcpLimits.maxLineLength;
  const auto tooLong = [limit](std::string_view line) {
    return "line longer than " + std::to_string(limit) + " characters (" + std::string(line) + ")";
  };
  std::optional<std::string> line = connection.TryReadLine();
  // The lead character counts too.
  if (!line || line->size() >= limit)
    RefuseUnreadHead(connection, clock_, kRtspRequestUriTooLarge, {}, tooLong("request line"));
  line->insert(line->begin(), static_cast<char>(lead));
  TRtspRequestHead collected;
  TRtspRequestHead::TState state = collected.AddLine(*line);
  while (state == TRtspRequestHead::TState::NeedMore) {
    line = connection.TryReadLine();
    if (!line) {
      RefuseUnreadHead(connection, clock_, kRtspBadRequest, collected.Text(),
                       tooLong("header field"));
    }
    state = collected.AddLine(*line);
  }
  if (state == TRtspRequestHead::TState::TooLarge) {
    RefuseUnreadHead(connection, clock_, kRtspBadRequest, collected.Text(),
                     "request head over " + std::to_string(kMaxRtspRequestHeadBytes) +
                         " bytes or " + std::to_string(kMaxRtspHeaderCount) + " header fields");
  }
  head = collected.Text();
  return true;
}

bool TRTSPService::ParseAndReadBody(platform::TTcpConnection& connection, TRtspContext& context,
                                    std::string& head) const {
  NeutraliseNegativeContentLength(head);
  bool parsed = context.ParseRequest(head);
  // Cutting at the TEARDOWN saves the client its teardown. Only a request line spoilt by stray
  // bytes is cut: a request that parses with a method of its own, or that fails for another
  // reason, keeps a TEARDOWN in its URI or headers.
  if (SpoiltTeardown(head, context.Request().ParseError())) {
    const std::size_t teardown = head.find("TEARDOWN");
    if (teardown != std::string::npos && teardown > 0)
      parsed = context.ParseRequest(std::string_view(head).substr(teardown));
  }
  const int32_t length = context.Request().GetContentLength();
  if (!parsed) {
    const TRtspParseError error = context.Request().ParseError();
    context.SendResponse(error.statusCode);
    // The rest of the input cannot be told apart from the next request.
    if (error.closeConnection) throw TRequestRefused(error.reason);
    // The request line as evidence of what was sent; the log writes its control bytes out.
    Log("request refused with " + std::to_string(error.statusCode) + ", e=" + error.reason + ": " +
        LogValue(std::string_view(head).substr(0, head.find("\r\n"))));
    // The body is skipped, so that the next request is read from where it starts.
    if (length > 0) connection.ReadBytes(static_cast<std::size_t>(length));
    return false;
  }
  if (length > 0) {
    const std::vector<std::uint8_t> body = connection.ReadBytes(static_cast<std::size_t>(length));
    context.Request().SetContent(std::string(body.begin(), body.end()));
  }
  return true;
}

void TRTSPService::Dispatch(TRtspContext& context) {
  if (stopping_.load()) return;
  const std::string& method = context.Request().Method();
  if (links_.credentials) {
    const TRtspCredentials credentials = links_.credentials();
    const TRtspAccessVerdict verdict = authenticator_.Judge(context, credentials);
    // Sessions belong to the user who set them up as well as to the connection.
    context.SetUser(credentials.user);
    if (verdict.access != TRtspAccess::Allowed) {
      // A keep-alive with the right password on a nonce that has just run out still tells that
      // the client watches; missing it could let a UDP session expire before it has a new nonce.
      if (verdict.access == TRtspAccess::Stale && IsKeepAlive(method)) ResolveSession(context);
      authenticator_.Refuse(context, credentials, verdict);
      return;
    }
  }
  // A request naming a session that is gone, unknown or another client's never reaches a handler,
  // whatever its method: a player whose session was freed must learn it, not be told all is well.
  if (!ResolveSession(context)) {
    context.SendResponse(kRtspSessionNotFound);
    return;
  }
  TRtspServlet* const servlet = FindServlet(method);
  if (!servlet) {
    if (IsKeepAlive(method)) {
      AnswerKeepAlive(context);
      return;
    }
    Log(method + " Not Find");
    context.SendResponse(kRtspNotImplemented);
    return;
  }
  std::string failure;
  try {
    servlet->Execute(context);
  } catch (const std::exception& error) {
    failure = error.what();
    Log(servlet->GetName() + " execute failed, e=" + failure);
  } catch (...) {
    failure = "unknown error";
    Log(servlet->GetName() + " execute failed, e=" + failure);
  }
  if (context.ResponseSent() || stopping_.load()) return;
  const TRtpConnection* const connection = context.Connection();
  if (connection && !connection->IsOpen()) return;
  // Every request gets its answer: a client left waiting stalls until its own time-out, and one
  // that pairs answers by order would take the next answer for this one.
  if (failure.empty()) Log(servlet->GetName() + " execute sent no response");
  context.SendResponse(kRtspInternalServerError);
}

bool TRTSPService::HasSessions(uint64_t connectionId) const {
  const std::shared_ptr<TBaseSessionManager> sessions =
      links_.sessions ? links_.sessions() : nullptr;
  return sessions && sessions->HasSessionsOf(connectionId);
}

bool TRTSPService::ResolveSession(TRtspContext& context) const {
  const std::string name = SessionNameOf(context.Request().GetHeader("Session"));
  if (name.empty()) return true;
  const std::shared_ptr<TBaseSessionManager> sessions =
      links_.sessions ? links_.sessions() : nullptr;
  std::shared_ptr<TBaseSession> session =
      sessions ? sessions->ClaimSession(name, context.Requester()) : nullptr;
  if (!session) return false;
  session->Touch();
  context.SetSession(std::move(session));
  return true;
}

TRtspServlet* TRTSPService::FindServlet(std::string_view method) const {
  for (const auto& servlet : servlets_) {
    if (EqualsIgnoringAsciiCase(servlet->GetName(), method)) return servlet.get();
  }
  return nullptr;
}

void TRTSPService::ClientDisconnected(platform::TTcpConnection& connection) {
  const platform::TTcpEndpoint& peer = connection.Peer();
  const TLogSourceScope source(peer.address);
  // Taken out of the registry but kept until the sessions bound to it are gone.
  const std::unique_ptr<TTcpRtpConnection> adapter = connections_.Remove(connection);
  try {
    Log("disconnect from " + peer.address + ":" + std::to_string(peer.port));
    // Exactly this connection's sessions: those bound to it end, those it set up over UDP play
    // on until they expire or their client comes back for them.
    const std::shared_ptr<TBaseSessionManager> sessions =
        links_.sessions && adapter ? links_.sessions() : nullptr;
    if (sessions) sessions->ConnectionClosed(adapter->Id());
  } catch (const std::exception& error) {
    Log("disconnect from " + peer.address + ", E:" + error.what());
  }
}

void TRTSPService::Log(std::string_view line) const {
  if (links_.log) {
    links_.log(line);
  } else {
    LogMessage(line);
  }
}
