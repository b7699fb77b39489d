#include "BaseSessionManager.h"

#include <algorithm>
#include <cstdio>

TBaseSessionManager::TBaseSessionManager(TSessionLinks links) : links_(std::move(links)) {}

TBaseSessionManager::~TBaseSessionManager() {
  StopSweeping();
  RemoveAllSessions();
}

void TBaseSessionManager::SessionAttached(const SessionPtr&) {}

TBaseSessionManager::SessionPtr TBaseSessionManager::GetOrCreateSession(
    const std::string& address, int32_t port,
    const std::function<bool(const TBaseSession&)>& mayReuse) {
  SessionPtr session;
  {
    const std::lock_guard guard(lock_);
    session = FindSessionLocked(address, port, mayReuse);
    if (!session) {
      session = CreateSession();
      const platform::TClock& clock = links_.clock ? *links_.clock : platform::SystemClock();
      const platform::TLocalDateTime now = clock.LocalNow();
      char stamp[16];
      std::snprintf(stamp, sizeof stamp, "%02d%02d%02d", now.hour % 100, now.minute % 100,
                    now.second % 100);
      session->SetKey(address, std::string(stamp) + "-" + std::to_string(sessionCounter_));
      session->SetClientPort(port);
      sessions_.push_back(session);
      sessionCount_.store(sessions_.size());
    }
    // Wraps to 0 rather than overflowing; names only need to differ among the live sessions.
    sessionCounter_ = sessionCounter_ == INT32_MAX ? 0 : sessionCounter_ + 1;
  }
  SessionAttached(session);
  return session;
}

TBaseSessionManager::SessionPtr TBaseSessionManager::FindSessionLocked(
    const std::string& address, int32_t port,
    const std::function<bool(const TBaseSession&)>& accept) const {
  for (const SessionPtr& s : sessions_) {
    if (s->ClientPort() == port && s->ClientAddress() == address && (!accept || accept(*s))) {
      return s;
    }
  }
  return nullptr;
}

TBaseSessionManager::SessionPtr TBaseSessionManager::FindSession(const std::string& address,
                                                                 int32_t port) const {
  const std::lock_guard guard(lock_);
  return FindSessionLocked(address, port);
}

TBaseSessionManager::SessionPtr TBaseSessionManager::FindSessionByName(
    const std::string& name) const {
  if (name.empty()) return nullptr;
  const std::lock_guard guard(lock_);
  for (const SessionPtr& s : sessions_) {
    if (s->SessionName() == name) return s;
  }
  return nullptr;
}

TBaseSessionManager::SessionPtr TBaseSessionManager::FindSessionByConnection(
    const TRtpConnection* connection) const {
  if (connection == nullptr) return nullptr;
  const std::lock_guard guard(lock_);
  for (const SessionPtr& s : sessions_) {
    if (s->Connection() == connection) return s;
  }
  return nullptr;
}

void TBaseSessionManager::RemoveSession(const SessionPtr& session) {
  if (!session) return;
  {
    const std::lock_guard guard(lock_);
    const auto found = std::find(sessions_.begin(), sessions_.end(), session);
    if (found == sessions_.end()) return;
    sessions_.erase(found);
    sessionCount_.store(sessions_.size());
  }
  // Stopped now, not when the last holder lets go: nothing may be sent for a removed client, the
  // UDP server may go away right after, and the log tells the session's end where it happened.
  session->Shutdown();
}

void TBaseSessionManager::RemoveAllSessions() {
  for (const SessionPtr& s : Sessions()) RemoveSession(s);
}

void TBaseSessionManager::TouchEndpoint(const std::string& address, int32_t port) {
  if (const SessionPtr session = FindSession(address, port)) session->Touch();
}

std::vector<TBaseSessionManager::SessionPtr> TBaseSessionManager::Sessions() const {
  const std::lock_guard guard(lock_);
  return sessions_;
}

size_t TBaseSessionManager::SweepExpired() {
  size_t removed = 0;
  for (const SessionPtr& s : Sessions()) {
    if (s->IsExpired()) {
      RemoveSession(s);
      ++removed;
    }
  }
  return removed;
}

void TBaseSessionManager::StartSweeping(std::chrono::milliseconds interval) {
  const std::lock_guard guard(sweepLock_);
  if (sweeper_.joinable()) return;
  sweepStop_ = false;
  sweeper_ = std::thread([this, interval] {
    std::unique_lock lock(sweepLock_);
    while (!sweepWake_.wait_for(lock, interval, [this] { return sweepStop_; })) {
      lock.unlock();
      SweepExpired();
      lock.lock();
    }
  });
}

void TBaseSessionManager::StopSweeping() {
  std::thread sweeper;
  {
    const std::lock_guard guard(sweepLock_);
    sweepStop_ = true;
    sweeper = std::move(sweeper_);
  }
  sweepWake_.notify_all();
  if (sweeper.joinable()) sweeper.join();
}
