// One RTSP connection this process opened to a server. Requests are written from the caller's
// thread; everything the server sends is read by a thread of the connection's own, so the server
// never stalls on a full window: answers go to whoever waits for them, interleaved frames (the
// server's RTCP receiver reports) and answers nobody waits for are read and dropped. A request the
// server sends of its own is answered 501, as this side serves nothing.
//
// RTP shares the connection: senders write through Connection() with whole-unit writes, so a
// request can never land inside a frame.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "RtspClientAuth.h"
#include "RtspReply.h"
#include "platform/TcpConnection.h"

struct TRtspClientRequest {
  std::string method;
  std::string uri;
  std::vector<std::pair<std::string, std::string>> headers;  // besides CSeq and Authorization
  std::string contentType;                                   // with a body only
  std::string body;
};

// Why an exchange gave no answer.
enum class TRtspExchangeEnd { Answered, Closed, TimedOut, Interrupted };

class TRtspClientConnection {
 public:
  // Takes over the connection and starts reading it. With a user in auth's credentials, a 401 is
  // answered with them (TRtspClientAuth).
  TRtspClientConnection(std::unique_ptr<platform::TTcpConnection> connection,
                        std::optional<TRtspClientAuth> auth, std::string userAgent);
  // Closes the connection and waits for the reading thread.
  ~TRtspClientConnection();
  TRtspClientConnection(const TRtspClientConnection&) = delete;
  TRtspClientConnection& operator=(const TRtspClientConnection&) = delete;

  // Sends the request and waits for its answer until `limit` has passed, the connection ends or,
  // when interruptible, Interrupt is called. A 401 is retried once with credentials when the
  // challenge can be answered, and once more for a stale nonce; the 401 itself comes back when
  // the credentials are refused. `end` says why there is no answer.
  std::optional<TRtspReply> Exchange(const TRtspClientRequest& request,
                                     std::chrono::milliseconds limit, TRtspExchangeEnd& end,
                                     bool interruptible = true);
  // Sends the request without waiting for its answer (a keep-alive); false when the write failed.
  bool Send(const TRtspClientRequest& request);
  // Waits until the connection ends, Interrupt is called or `limit` has passed; whether the
  // connection is still open.
  bool WaitWhileOpen(std::chrono::milliseconds limit);
  // Makes every interruptible wait return now and later; from any thread.
  void Interrupt();
  bool Interrupted() const;
  bool IsOpen() const { return connection_->IsOpen(); }
  // Why the connection ended, once it has; empty while open.
  std::string EndReason() const;
  platform::TTcpConnection& Connection() { return *connection_; }

 private:
  // Writes the request with the next CSeq; returns that CSeq, 0 when the write failed.
  int32_t Write(const TRtspClientRequest& request);
  std::optional<TRtspReply> WaitForAnswer(int32_t cseq,
                                          std::chrono::steady_clock::time_point deadline,
                                          TRtspExchangeEnd& end, bool interruptible);
  void ReadLoop();
  // Reads one thing the server sent: an answer (handed over when awaited), an interleaved frame
  // or a request of the server's own. Throws platform::TTcpError when the connection ends.
  void ReadOne();

  const std::unique_ptr<platform::TTcpConnection> connection_;
  const std::string userAgent_;
  std::mutex writeLock_;  // CSeq order is wire order; also guards auth_
  std::optional<TRtspClientAuth> auth_;
  bool challenged_ = false;  // a 401's challenge was taken
  int32_t nextCSeq_ = 1;

  mutable std::mutex lock_;
  std::condition_variable changed_;
  int32_t awaited_ = 0;               // the CSeq an exchange waits for; 0: none
  std::optional<TRtspReply> answer_;  // its answer, once read
  bool interrupted_ = false;
  bool ended_ = false;
  std::string endReason_;
  std::thread reader_;  // last: started once everything above exists
};
