// Everything one received request is handled with: the request, the response being built, and the
// connection both travel on. The service creates one per request after reading its text and
// drops it once the method handler has returned.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "RtspRequest.h"
#include "RtspResponse.h"
#include "platform/Clock.h"
#include "stream/BaseSession.h"

class TRtpConnection;

// Writes the bytes of one whole response as one uninterrupted write: RTP packets that a session's
// sender writes to the same connection must not land inside it. False when the connection is
// closed or the write failed.
using TRtspResponseWriter = std::function<bool(std::string_view bytes)>;

// A response could not be written; the connection is no longer usable.
class TRtspWriteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Where a request came from.
struct TRtspConnectionInfo {
  // The client's RTSP connection as interleaved RTP senders use it; SETUP binds it to the session.
  // Not owned. Null where no RTP can be sent on the connection.
  TRtpConnection* connection = nullptr;
  std::string localAddress;  // the server's address the client connected to, dotted decimal
  std::string peerAddress;   // the client's address, dotted decimal
  int32_t peerPort = 0;      // the client's TCP port
};

class TRtspContext {
 public:
  // ioHandler must not be empty (std::invalid_argument). The clock supplies the Date of the
  // response and must outlive the context.
  TRtspContext(TRtspConnectionInfo info, TRtspResponseWriter ioHandler,
               const platform::TClock& clock = platform::SystemClock());
  TRtspContext(const TRtspContext&) = delete;
  TRtspContext& operator=(const TRtspContext&) = delete;

  // Parses the head of the request (TRtspRequest::Parse) and echoes its CSeq, 0 when it has none,
  // in the response: clients pair answers with requests by it, refusals included. Only a refused
  // request line (505) leaves the response without CSeq. The body, if any, is the caller's to read
  // and hand to Request().SetContent.
  bool ParseRequest(std::string_view text);

  TRtspRequest& Request() { return request_; }
  const TRtspRequest& Request() const { return request_; }
  // StatusCode 404 until a handler sets one or SendResponse is called with one.
  TRtspResponse& Response() { return response_; }
  const TRtspResponse& Response() const { return response_; }

  TRtpConnection* Connection() const { return info_.connection; }
  const std::string& LocalAddress() const { return info_.localAddress; }
  const std::string& PeerAddress() const { return info_.peerAddress; }
  int32_t PeerPort() const { return info_.peerPort; }

  // Who asks, as sessions know their owners: the client's address, its connection's Id (0
  // without a connection) and the user its credentials named (empty when none were asked).
  TSessionOwner Requester() const;
  void SetUser(std::string user) { user_ = std::move(user); }
  // The session the request's Session header names, once the service has found that this client
  // may use it; null when the request names none.
  const std::shared_ptr<TBaseSession>& Session() const { return session_; }
  void SetSession(std::shared_ptr<TBaseSession> session) { session_ = std::move(session); }

  // Finishes the response and writes it in one write: code (when above 0) becomes its status,
  // Date is set to the current time, then the status line, the header fields, a blank line and
  // the body follow. Once per request: a second call throws std::logic_error and writes nothing,
  // as a client would take a second answer for the answer to its next request. Throws
  // TRtspWriteError when the write fails.
  void SendResponse(int32_t code);
  bool ResponseSent() const { return responseSent_; }

 private:
  TRtspConnectionInfo info_;
  std::string user_;
  std::shared_ptr<TBaseSession> session_;
  TRtspResponseWriter ioHandler_;
  const platform::TClock& clock_;
  TRtspRequest request_;
  TRtspResponse response_;
  bool responseSent_ = false;
};
