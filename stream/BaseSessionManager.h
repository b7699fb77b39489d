// The registry of client sessions, known by their names only, under one re-entrant lock. A name is
// 128 random bits, so a client can neither guess another's session nor collide with it; the
// address and port of a client never find a session for a request, since another client may
// come from the same ones.
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
#include "log/LogThrottle.h"

// How many sessions a manager holds. Each playing session costs a thread and a queue of frames:
// one client must not take them all, nor all clients together the machine.
struct TSessionLimits {
  size_t perConnection = 4;  // a player needs one, a recorder with audio and a second view a few
  size_t total = 300;
};

enum class TSessionRefusal { None, ConnectionFull, ServerFull };

class TBaseSessionManager {
 public:
  using SessionPtr = std::shared_ptr<TBaseSession>;

  explicit TBaseSessionManager(TSessionLinks links, TSessionLimits limits = {});
  // Stops and lets go of every session still registered.
  virtual ~TBaseSessionManager();
  TBaseSessionManager(const TBaseSessionManager&) = delete;
  TBaseSessionManager& operator=(const TBaseSessionManager&) = delete;

  // A new session owned by the requester, with a fresh random name; SessionAttached runs for it,
  // outside the lock. Null, with the reason in refusal and a log line at most once a second,
  // when the requester's connection or the manager holds its limit of sessions.
  SessionPtr AddSession(const TSessionOwner& owner, TSessionRefusal* refusal = nullptr);
  // Case-sensitive; nothing for an empty name.
  SessionPtr FindSessionByName(const std::string& name) const;
  // The named session if the requester may use it (TBaseSession::ClaimFor), else null. Taking over
  // a session whose owner has gone counts against the requester's connection as a new one does.
  SessionPtr ClaimSession(const std::string& name, const TSessionOwner& requester) const;
  // The UDP session whose client sends from address:port (its RTP port); first match.
  SessionPtr FindSession(const std::string& address, int32_t port) const;
  SessionPtr FindSessionByConnection(const TRtpConnection* connection) const;
  // Sessions owned by the connection or bound to it.
  bool HasSessionsOf(uint64_t connectionId) const;
  // The connection has gone: the sessions bound to it are removed, those it only owns (UDP) wait
  // to be claimed again from their address or to expire. Returns how many were removed.
  size_t ConnectionClosed(uint64_t connectionId);
  // Removes exactly the sessions bound to the connection; returns how many. Returns only once
  // none of them sends any more, also those another thread is removing meanwhile (the sweep, a
  // bye action), so that the connection may go right after.
  size_t RemoveSessionsBoundTo(uint64_t connectionId);
  // Unregisters the session and stops it for good, logging its end; the object goes when the last
  // holder lets go. A session that is not registered is left alone.
  virtual void RemoveSession(const SessionPtr& session);
  bool HasSessions() const { return sessionCount_.load() > 0; }
  // Whether a session plays: only then is there anything to capture for.
  bool HasPlayingSessions() const;
  // A datagram from the client at address:port keeps its UDP sessions alive.
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
  std::string NewName() const;
  // Under lock_.
  size_t OwnedBy(uint64_t connectionId) const;
  void LogRefusal(TSessionRefusal refusal, const TSessionOwner& owner);

  const TSessionLinks links_;
  const TSessionLimits limits_;
  mutable std::recursive_mutex lock_;
  std::vector<SessionPtr> sessions_;
  // Unregistered, with their Shutdown still under way.
  std::vector<SessionPtr> removing_;
  std::atomic<size_t> sessionCount_{0};
  TLogThrottle refusals_;  // under lock_

  std::mutex sweepLock_;
  std::condition_variable sweepWake_;
  bool sweepStop_ = false;
  std::thread sweeper_;
};
