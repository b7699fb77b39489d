// The registry of client sessions, keyed by client address and port, under one re-entrant lock.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BaseSession.h"

class TBaseSessionManager {
 public:
  using SessionPtr = std::shared_ptr<TBaseSession>;

  explicit TBaseSessionManager(TSessionLinks links);
  // Stops and lets go of every session still registered.
  virtual ~TBaseSessionManager();
  TBaseSessionManager(const TBaseSessionManager&) = delete;
  TBaseSessionManager& operator=(const TBaseSessionManager&) = delete;

  // The registered session with this key, or a new one named "hhnnss-counter" after the local
  // time; SessionAttached runs for either, outside the lock. With mayReuse, only a registered
  // session it accepts is taken; those it turns down are left alone.
  SessionPtr GetOrCreateSession(const std::string& address, int32_t port,
                                const std::function<bool(const TBaseSession&)>& mayReuse = {});
  // Exact text comparison of the address; first match in registration order.
  SessionPtr FindSession(const std::string& address, int32_t port) const;
  // Case-sensitive; nothing for an empty name.
  SessionPtr FindSessionByName(const std::string& name) const;
  SessionPtr FindSessionByConnection(const TRtpConnection* connection) const;
  // Unregisters the session and stops it for good, logging its end; the object goes when the last
  // holder lets go. A session that is not registered is left alone.
  virtual void RemoveSession(const SessionPtr& session);
  bool HasSessions() const { return sessionCount_.load() > 0; }
  // A datagram from the client at address:port keeps its session alive.
  void TouchEndpoint(const std::string& address, int32_t port);
  // Every registered session, in registration order.
  std::vector<SessionPtr> Sessions() const;

  // Removes every expired session through RemoveSession; returns how many went.
  size_t SweepExpired();
  // Sweeps on a thread of the manager's own every interval, so that a client gone silent is let go
  // even while no frame flows and without the frame producer having to do it. Call it once the
  // manager is fully built: the sweep calls the concrete manager's RemoveSession. A second call
  // while the thread runs does nothing.
  void StartSweeping(std::chrono::milliseconds interval);
  // Ends the sweep thread and waits for it; callable repeatedly, but not from a sweep.
  void StopSweeping();

 protected:
  virtual SessionPtr CreateSession() = 0;
  virtual void SessionAttached(const SessionPtr& session);
  const TSessionLinks& Links() const { return links_; }
  // Unregisters every session; the concrete manager's destructor calls it while its own
  // RemoveSession still runs, after StopSweeping.
  void RemoveAllSessions();

 private:
  SessionPtr FindSessionLocked(const std::string& address, int32_t port,
                               const std::function<bool(const TBaseSession&)>& accept = {}) const;

  const TSessionLinks links_;
  mutable std::recursive_mutex lock_;
  std::vector<SessionPtr> sessions_;
  std::atomic<size_t> sessionCount_{0};
  int32_t sessionCounter_ = 0;

  std::mutex sweepLock_;
  std::condition_variable sweepWake_;
  bool sweepStop_ = false;
  std::thread sweeper_;
};
