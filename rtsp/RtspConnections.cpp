#include "RtspConnections.h"

#include <string>
#include <utility>

TRtspConnections::TRtspConnections(std::function<bool(uint64_t)> hasSessions,
                                   std::function<void(std::string_view)> log,
                                   std::chrono::milliseconds idleLimit,
                                   std::chrono::milliseconds checkInterval)
    : hasSessions_(std::move(hasSessions)), log_(std::move(log)), idleLimit_(idleLimit) {
  if (idleLimit_.count() > 0) checker_ = std::thread([this, checkInterval] { CheckLoop(checkInterval); });
}

TRtspConnections::~TRtspConnections() {
  {
    const std::lock_guard guard(checkLock_);
    checkStop_ = true;
  }
  checkWake_.notify_all();
  if (checker_.joinable()) checker_.join();
}

void TRtspConnections::CheckLoop(std::chrono::milliseconds interval) {
  std::unique_lock lock(checkLock_);
  while (!checkWake_.wait_for(lock, interval, [this] { return checkStop_; })) {
    lock.unlock();
    CloseIdle(TClock::now());
    lock.lock();
  }
}

void TRtspConnections::Add(platform::TTcpConnection& connection) {
  TEntry entry{&connection, std::make_unique<TTcpRtpConnection>(connection), TClock::now(), false};
  const std::lock_guard guard(lock_);
  entries_[&connection] = std::move(entry);
}

std::unique_ptr<TTcpRtpConnection> TRtspConnections::Remove(
    const platform::TTcpConnection& connection) {
  const std::lock_guard guard(lock_);
  const auto found = entries_.find(&connection);
  if (found == entries_.end()) return nullptr;
  std::unique_ptr<TTcpRtpConnection> adapter = std::move(found->second.adapter);
  entries_.erase(found);
  return adapter;
}

TTcpRtpConnection* TRtspConnections::AdapterOf(const platform::TTcpConnection& connection) const {
  const std::lock_guard guard(lock_);
  const auto found = entries_.find(&connection);
  return found == entries_.end() ? nullptr : found->second.adapter.get();
}

void TRtspConnections::SetBusy(const platform::TTcpConnection& connection, bool busy) {
  const std::lock_guard guard(lock_);
  const auto found = entries_.find(&connection);
  if (found == entries_.end()) return;
  found->second.busy = busy;
  if (!busy) found->second.lastRequest = TClock::now();
}

bool TRtspConnections::Closable(const TEntry& entry) const {
  return !entry.busy && entry.connection->IsOpen() &&
         !(hasSessions_ && hasSessions_(entry.adapter->Id()));
}

std::size_t TRtspConnections::CloseIdle(TClock::time_point now) {
  std::size_t closed = 0;
  const std::lock_guard guard(lock_);
  for (auto& [key, entry] : entries_) {
    if (now - entry.lastRequest < idleLimit_ || !Closable(entry)) continue;
    const platform::TTcpEndpoint& peer = entry.connection->Peer();
    log_("closed idle connection from " + peer.address + ":" + std::to_string(peer.port) +
         ", no request for " + std::to_string(idleLimit_.count() / 1000) + " s");
    entry.connection->Close();
    ++closed;
  }
  return closed;
}

bool TRtspConnections::MakeRoom(TClock::time_point now) {
  const std::lock_guard guard(lock_);
  TEntry* oldest = nullptr;
  for (auto& [key, entry] : entries_) {
    if (oldest && oldest->lastRequest <= entry.lastRequest) continue;
    if (Closable(entry)) oldest = &entry;
  }
  if (!oldest) return false;
  const auto tick = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch());
  if (const std::size_t closed = evictions_.Count(static_cast<std::uint32_t>(tick.count()))) {
    const platform::TTcpEndpoint& peer = oldest->connection->Peer();
    log_("too many connections, closed the idle " + peer.address + ":" +
         std::to_string(peer.port) + " to make room (" + std::to_string(closed) +
         " closed since the last report)");
  }
  oldest->connection->Close();
  return true;
}
