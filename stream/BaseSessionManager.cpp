#include "BaseSessionManager.h"

#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <stdexcept>

#include "log/ServiceLog.h"

namespace {

bool IsUdp(const TBaseSession& session) {
  return session.Connection() == nullptr;
}

}  // namespace

TBaseSessionManager::TBaseSessionManager(TSessionLinks links, TSessionLimits limits)
    : links_(std::move(links)), limits_(limits) {}

TBaseSessionManager::~TBaseSessionManager() {
  StopSweeping();
  RemoveAllSessions();
}

void TBaseSessionManager::SessionAttached(const SessionPtr&) {}

std::string TBaseSessionManager::NewName() const {
  std::array<unsigned char, 16> bits{};
  if (RAND_bytes(bits.data(), static_cast<int>(bits.size())) != 1)
    throw std::runtime_error("no random bits for a session name");
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string name;
  for (const unsigned char b : bits) {
    name += kDigits[b >> 4];
    name += kDigits[b & 0x0F];
  }
  return name;
}

TBaseSessionManager::SessionPtr TBaseSessionManager::AddSession(const TSessionOwner& owner,
                                                                TSessionRefusal* refusal) {
  if (refusal) *refusal = TSessionRefusal::None;
  SessionPtr session;
  {
    const std::lock_guard guard(lock_);
    TSessionRefusal refused = TSessionRefusal::None;
    if (sessions_.size() >= limits_.total) {
      refused = TSessionRefusal::ServerFull;
    } else if (owner.connectionId != 0 && OwnedBy(owner.connectionId) >= limits_.perConnection) {
      refused = TSessionRefusal::ConnectionFull;
    }
    if (refused != TSessionRefusal::None) {
      if (refusal) *refusal = refused;
      LogRefusal(refused, owner);
      return nullptr;
    }
    session = CreateSession();
    std::string name = NewName();
    // 128 random bits do not repeat among a few hundred sessions; this only makes sure of it.
    while (std::any_of(sessions_.begin(), sessions_.end(),
                       [&name](const SessionPtr& s) { return s->SessionName() == name; }))
      name = NewName();
    session->SetIdentity(std::move(name), owner);
    sessions_.push_back(session);
    sessionCount_.store(sessions_.size());
  }
  SessionAttached(session);
  return session;
}

void TBaseSessionManager::LogRefusal(TSessionRefusal refusal, const TSessionOwner& owner) {
  const platform::TClock& clock = links_.clock ? *links_.clock : platform::SystemClock();
  const std::size_t refused = refusals_.Count(clock.TickCount());
  if (refused == 0) return;
  const std::string line =
      (refusal == TSessionRefusal::ServerFull
           ? "session refused for " + owner.address + ": " + std::to_string(limits_.total) +
                 " sessions in all"
           : "session refused for " + owner.address + ": " +
                 std::to_string(limits_.perConnection) + " sessions on its connection") +
      " (" + std::to_string(refused) + " refused since the last report)";
  if (links_.log) {
    links_.log(line);
  } else {
    LogMessage(line);
  }
}

TBaseSessionManager::SessionPtr TBaseSessionManager::FindSession(const std::string& address,
                                                                 int32_t port) const {
  const std::lock_guard guard(lock_);
  for (const SessionPtr& s : sessions_) {
    if (IsUdp(*s) && s->ClientPort() == port && s->ClientAddress() == address) return s;
  }
  return nullptr;
}

TBaseSessionManager::SessionPtr TBaseSessionManager::ClaimSession(
    const std::string& name, const TSessionOwner& requester) const {
  const std::lock_guard guard(lock_);
  SessionPtr session = FindSessionByName(name);
  if (!session) return nullptr;
  // A client must not gather more sessions on one connection by coming back for old ones.
  if (requester.connectionId != 0 && session->OwnerConnectionId() != requester.connectionId &&
      OwnedBy(requester.connectionId) >= limits_.perConnection) {
    return nullptr;
  }
  return session->ClaimFor(requester) ? session : nullptr;
}

size_t TBaseSessionManager::OwnedBy(uint64_t connectionId) const {
  return static_cast<size_t>(
      std::count_if(sessions_.begin(), sessions_.end(), [connectionId](const SessionPtr& s) {
        return s->OwnerConnectionId() == connectionId;
      }));
}

bool TBaseSessionManager::HasSessionsOf(uint64_t connectionId) const {
  if (connectionId == 0) return false;
  const std::lock_guard guard(lock_);
  return std::any_of(sessions_.begin(), sessions_.end(), [connectionId](const SessionPtr& s) {
    return s->OwnerConnectionId() == connectionId || s->BoundTo(connectionId);
  });
}

bool TBaseSessionManager::HasPlayingSessions() const {
  const std::lock_guard guard(lock_);
  return std::any_of(sessions_.begin(), sessions_.end(),
                     [](const SessionPtr& s) { return s->Playing(); });
}

size_t TBaseSessionManager::ConnectionClosed(uint64_t connectionId) {
  if (connectionId == 0) return 0;
  for (const SessionPtr& s : Sessions()) s->OwnerConnectionGone(connectionId);
  return RemoveSessionsBoundTo(connectionId);
}

size_t TBaseSessionManager::RemoveSessionsBoundTo(uint64_t connectionId) {
  size_t removed = 0;
  for (const SessionPtr& s : Sessions()) {
    if (!s->BoundTo(connectionId)) continue;
    RemoveSession(s);
    ++removed;
  }
  std::vector<SessionPtr> underWay;
  {
    const std::lock_guard guard(lock_);
    underWay = removing_;
  }
  // Waits for the remover that came first.
  for (const SessionPtr& s : underWay) {
    if (s->BoundTo(connectionId)) s->Shutdown();
  }
  return removed;
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
    removing_.push_back(session);
  }
  // Stopped now, not when the last holder lets go: nothing may be sent for a removed client, the
  // UDP server may go away right after, and the log tells the session's end where it happened.
  session->Shutdown();
  const std::lock_guard guard(lock_);
  removing_.erase(std::find(removing_.begin(), removing_.end(), session));
}

void TBaseSessionManager::RemoveAllSessions() {
  for (const SessionPtr& s : Sessions()) RemoveSession(s);
}

void TBaseSessionManager::TouchEndpoint(const std::string& address, int32_t port) {
  const std::lock_guard guard(lock_);
  for (const SessionPtr& s : sessions_) {
    if (IsUdp(*s) && s->ClientPort() == port && s->ClientAddress() == address) s->Touch();
  }
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
