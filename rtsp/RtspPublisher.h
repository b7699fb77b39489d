// Publishing the live stream to a media server that serves it on (mediamtx, go2rtc, GStreamer's
// RTSP server): this side connects as an RTSP client and records to the server's URL with OPTIONS,
// ANNOUNCE (the description DESCRIBE answers with), SETUP of each track over interleaved TCP and
// RECORD. The server is then one more viewer of the live channel: a session of the live session
// manager bound to the connection, fed the frames every viewer gets and sent the same RTCP sender
// reports. It plays as long as the connection lasts, so the desktop is captured for it even when
// nobody else watches.
//
// A connection that fails or drops, and an answer that refuses, are retried after a pause that
// starts at firstRetry and doubles up to longestRetry; a connection that got as far as publishing
// starts the pauses afresh. The log gets one line per change of state, not one per attempt.
// Stopping ends the session (its senders say goodbye) and then the publication with TEARDOWN.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "RtspServlets.h"
#include "RtspUrl.h"
#include "platform/TcpConnection.h"

class TRtspClientConnection;

enum class TPublishPhase { Connecting, Publishing, Retrying, Refused };

struct TPublishState {
  TPublishPhase phase = TPublishPhase::Connecting;
  std::string target;                             // "host:port/path"
  int32_t status = 0;                             // Refused: the server's answer
  std::string reason;                             // Retrying, Refused: what went wrong, for the log
  std::chrono::steady_clock::time_point retryAt;  // Retrying, Refused: the next attempt
};

struct TRtspPublisherLinks {
  TRtspUrl url;
  // The live stream as the server's handlers see it: its sessions, channel, parameter sets.
  TRtspServletLinks stream;
  std::string userAgent;
  // Told every change of state, on the publisher's thread. May be empty.
  std::function<void(const TPublishState&)> stateChanged;
  // Opens the connection. Empty: platform::ConnectTcp within connectLimit.
  std::function<std::unique_ptr<platform::TTcpConnection>(const TRtspUrl&, std::string& error)>
      connect;
  std::chrono::milliseconds connectLimit{5000};
  std::chrono::milliseconds answerLimit{10000};  // for each answer of the server
  std::chrono::milliseconds firstRetry{1000};
  std::chrono::milliseconds longestRetry{30000};
};

class TRtspPublisher {
 public:
  explicit TRtspPublisher(TRtspPublisherLinks links);
  // Stop.
  ~TRtspPublisher();
  TRtspPublisher(const TRtspPublisher&) = delete;
  TRtspPublisher& operator=(const TRtspPublisher&) = delete;

  // Starts publishing on a thread of its own; once.
  void Start();
  // Ends the publication with TEARDOWN when one is under way and waits for the thread; the answer
  // is waited for briefly, so a server gone silent cannot hold the program's exit.
  void Stop();
  TPublishState State() const;

 private:
  struct TAttempt;
  void Run();
  // One connection from connect to its end; what happened goes into the attempt.
  void PublishOnce(TAttempt& attempt);
  // The handshake and the publishing on an open connection.
  void Record(TRtspClientConnection& client, TAttempt& attempt);
  void SetState(TPublishState state);
  void Log(std::string_view line) const;
  bool Stopping() const;

  const TRtspPublisherLinks links_;
  mutable std::mutex lock_;
  std::condition_variable wake_;
  bool stopping_ = false;
  TRtspClientConnection* client_ = nullptr;  // the connection under way, for Stop to interrupt
  TPublishState state_;
  std::thread thread_;
};
