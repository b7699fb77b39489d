// The RTSP service's open connections: each one's adapter for interleaved RTP, and whether it is
// busy with a request or since when it has been idle. A connection that holds no session and asks
// nothing only costs a thread and a place under the connection cap; this is where such ones are
// found and closed, after a while or when a newcomer needs the place.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

#include "log/LogThrottle.h"
#include "platform/TcpConnection.h"
#include "stream/TcpRtpConnection.h"

class TRtspConnections {
 public:
  using TClock = std::chrono::steady_clock;

  // hasSessions: whether sessions are owned by or bound to the connection with that Id. Every
  // checkInterval, connections without a session that finished their last request (or connected)
  // idleLimit ago are closed; a limit of 0 closes none.
  TRtspConnections(std::function<bool(uint64_t connectionId)> hasSessions,
                   std::function<void(std::string_view)> log, std::chrono::milliseconds idleLimit,
                   std::chrono::milliseconds checkInterval);
  // Stops the idle check; the connections are the listener's to close.
  ~TRtspConnections();
  TRtspConnections(const TRtspConnections&) = delete;
  TRtspConnections& operator=(const TRtspConnections&) = delete;

  // On the connection's own thread, first and last. Removal hands the adapter back, so that it
  // outlives the removal of the sessions bound to it.
  void Add(platform::TTcpConnection& connection);
  std::unique_ptr<TTcpRtpConnection> Remove(const platform::TTcpConnection& connection);
  TTcpRtpConnection* AdapterOf(const platform::TTcpConnection& connection) const;
  // Busy from a request's head to its answer; the end of a request restarts the idle time.
  void SetBusy(const platform::TTcpConnection& connection, bool busy);

  // Closes every connection idle for idleLimit without a session; how many.
  std::size_t CloseIdle(TClock::time_point now);
  // Closes the connection idle the longest without a session, for a newcomer at the cap; false
  // when there is none. Logged at most once a second.
  bool MakeRoom(TClock::time_point now);

 private:
  struct TEntry {
    platform::TTcpConnection* connection = nullptr;
    std::unique_ptr<TTcpRtpConnection> adapter;
    TClock::time_point lastRequest;
    bool busy = false;
  };
  // Idle, open and without a session: may be closed. Called under lock_.
  bool Closable(const TEntry& entry) const;
  void CheckLoop(std::chrono::milliseconds interval);

  const std::function<bool(uint64_t)> hasSessions_;
  const std::function<void(std::string_view)> log_;
  const std::chrono::milliseconds idleLimit_;

  // A connection is in the map only while its object is alive, so one found here under the lock
  // may be closed.
  mutable std::mutex lock_;
  std::map<const platform::TTcpConnection*, TEntry> entries_;
  TLogThrottle evictions_;

  std::mutex checkLock_;
  std::condition_variable checkWake_;
  bool checkStop_ = false;
  std::thread checker_;
};
