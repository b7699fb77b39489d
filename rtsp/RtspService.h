// The RTSP server: a TCP listener that serves each client connection on a thread of its own, reads
// the client's requests one after another, hands each to the method handler of its method and,
// when a connection ends, removes the session bound to it.
//
// What a client meets on the wire:
//   - Between requests, interleaved frames ("$", channel, 16-bit length, data: the RTCP reports
//     players send during PLAY) and stray line ends are skipped unanswered.
//   - Input the service will not read further is answered, then the connection is closed with a
//     log line: a request line over the connection's line limit gets 414 (no CSeq, as none was
//     read); a header line over that limit, or a head over 64 KiB or 100 header fields, gets 400;
//     a Content-Length over 64 KiB gets 413; one that is not a number, or two Content-Length
//     fields (even equal ones), get 400, since the next request cannot be found. These answers
//     carry the CSeq when the part of the head read holds one. A negative Content-Length means no
//     body.
//   - A request line that does not parse is answered 505; a control character (below 0x20 but
//     tab, or 0x7F) in the request line or a header line is answered 400, so that it never comes
//     back in an answer (keep-alives echo Session, SETUP echoes Transport). Such a request never
//     reaches a handler; its body, if any, is skipped and the connection stays open.
//   - GET_PARAMETER and SET_PARAMETER without a handler of their own are keep-alives: the session
//     they name, if the asking address set it up, counts as alive; 200, the Session echoed; a
//     SET_PARAMETER with parameters gets 451. Other methods without a handler get 501.
//   - Every request that reaches a handler gets one answer: 500 when the handler failed or
//     returned without answering.
//   - With a user in the credentials, every request but OPTIONS (keep-alives and unknown methods
//     too) must carry them, or it is answered 401 before any handler sees it (RtspAuthenticator.h).
//   - A request naming a session (Session header) that is gone, unknown or another client's is
//     answered 454 Session Not Found, whatever its method; keep-alives included, so that a player
//     whose session was freed learns it and sets up anew.
//   - A connection that has not completed its first request within firstRequestLimit is closed,
//     with a log line. A connection without a session that has sent no request for idleLimit is
//     closed; one with a session (playing interleaved, or playing over UDP) is never closed for
//     being quiet. At maxConnections open connections, the one idle the longest without a session
//     is closed to make room for a new one; without such a one the new connection is closed at
//     once. Both are logged at most once a second.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "RtspAuthenticator.h"
#include "RtspConnections.h"
#include "log/LogThrottle.h"
#include "RtspServlet.h"
#include "platform/Clock.h"
#include "platform/TcpListener.h"
#include "stream/BaseSessionManager.h"

class TRtspContext;
class TTcpRtpConnection;

// What the service uses from the rest of the process; tests pass fakes.
struct TRtspServiceLinks {
  // The session manager whose sessions are bound to connections, or null while there is none.
  // It must not create one: a client that only asked for OPTIONS has no session to look for.
  std::function<std::shared_ptr<TBaseSessionManager>()> sessions;
  // Ends every session when the service goes; runs after every connection thread has ended.
  std::function<void()> freeSessions;
  const platform::TClock* clock = nullptr;    // Date of the answers; null: the system clock
  std::function<void(std::string_view)> log;  // empty: LogMessage
  // Each connection holds a thread; a few recorders and players need a handful, and a
  // hundred-odd viewers still fit.
  platform::TTcpLimits tcpLimits{.maxConnections = 256};
  // Any real client sends its first request at once; a silent one only holds a thread.
  std::chrono::milliseconds firstRequestLimit{10000};
  // A connection without a session that asks nothing for this long only holds a thread and a
  // place under the connection cap; checked every idleCheckInterval.
  std::chrono::milliseconds idleLimit{60000};
  std::chrono::milliseconds idleCheckInterval{1000};
  // The address listened on until SetListenAddress: network cameras answer on every address of
  // the machine.
  std::string listenAddress = "0.0.0.0";
  // Asked for each request, as the user may change them while clients are connected. Empty, or an
  // empty user: no credentials are asked.
  std::function<TRtspCredentials()> credentials;
};

class TRTSPService {
 public:
  static constexpr int32_t kInitialPort = 9554;

  // The handlers, first match wins; the program passes OPTIONS, DESCRIBE, SETUP, PLAY, TEARDOWN.
  // Inactive until SetActive(true).
  explicit TRTSPService(std::vector<std::unique_ptr<TRtspServlet>> servlets,
                        TRtspServiceLinks links = {});
  // Stops listening and waits for every connection thread before the sessions and handlers those
  // threads use go away. Must not run on a connection thread.
  ~TRTSPService();
  TRTSPService(const TRTSPService&) = delete;
  TRTSPService& operator=(const TRTSPService&) = delete;

  // The port the next activation listens on; an active listener keeps its port.
  void SetPort(int32_t port);
  int32_t Port() const;
  // Likewise the local IPv4 address the next activation listens on; empty: every interface. An
  // address that is not one of this machine's makes the activation fail with a log line.
  void SetListenAddress(std::string address);
  std::string ListenAddress() const;
  // Starts or stops listening. Failures (port taken, port outside 1..65535) are logged, never
  // raised; the listener then stays inactive and a later call tries again. Stopping closes every
  // client connection and returns once their threads have ended. Not from a connection thread.
  void SetActive(bool active);
  bool IsActive() const { return listener_.IsListening(); }

  // The listener's connection handlers, on the connection's own thread.
  void ClientConnected(platform::TTcpConnection& connection);
  // Reads and answers one request, or skips one interleaved frame or stray line end before it.
  void HandleRequest(platform::TTcpConnection& connection);
  void ClientDisconnected(platform::TTcpConnection& connection);

 private:
  // Reads the next request head; false when what was read was no request (an interleaved frame,
  // a blank line between requests).
  bool ReadHead(platform::TTcpConnection& connection, std::string& head) const;
  // Parses the head and reads the body; false when the request was answered or refused here.
  bool ParseAndReadBody(platform::TTcpConnection& connection, TRtspContext& context,
                        std::string& head) const;
  // Logs why the connection could not be served and closes it.
  void EndAfterFailure(platform::TTcpConnection& connection, std::string_view error);
  void Dispatch(TRtspContext& context);
  // Finds the session the request names, if it names one, and puts it in the context; false when
  // the name is no session this client may use.
  bool ResolveSession(TRtspContext& context) const;
  TRtspServlet* FindServlet(std::string_view method) const;
  bool HasSessions(uint64_t connectionId) const;
  // Stops the listener; connections it closes are not reported as failed.
  void StopListener();
  void Log(std::string_view line) const;
  // On the accepting thread only.
  void ConnectionRefused(const platform::TTcpConnection& connection);

  const TRtspServiceLinks links_;
  const platform::TClock& clock_;
  // Written only by the constructor and destructor; connection threads read it.
  std::vector<std::unique_ptr<TRtspServlet>> servlets_;
  std::atomic<bool> stopping_{false};
  // Set while this side closes every connection, whose threads then see their reads fail.
  std::atomic<bool> closingAll_{false};
  TRtspAuthenticator authenticator_;

  // Refusals not yet logged, and when the last line went out; accepting thread only.
  TLogThrottle refusals_;

  mutable std::mutex portLock_;
  int32_t port_ = kInitialPort;
  std::string listenAddress_;

  // Before the listener, so that it outlives every connection thread.
  TRtspConnections connections_;

  // Last: destroyed first, after its threads are joined, while everything above is still alive.
  platform::TTcpListener listener_;
};
